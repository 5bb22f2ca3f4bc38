#include "qz/graph/OutputCache.h"

#include <xxhash.h>

#include <cstdio>
#include <cstring>
#include <future>

std::string ContentHash::Hex() const
{
	char text[33];
	std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(High),
	              static_cast<unsigned long long>(Low));
	return text;
}

void HashBuilder::Field(char kind, const void* data, size_t size)
{
	const uint64_t length = size;
	Bytes += kind;
	Bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
	Bytes.append(static_cast<const char*>(data), size);
}

HashBuilder& HashBuilder::Add(std::string_view text)
{
	Field('s', text.data(), text.size());
	return *this;
}

HashBuilder& HashBuilder::Add(double number)
{
	Field('d', &number, sizeof number);
	return *this;
}

HashBuilder& HashBuilder::Add(int64_t number)
{
	Field('i', &number, sizeof number);
	return *this;
}

HashBuilder& HashBuilder::Add(const ContentHash& hash)
{
	const uint64_t halves[2] = {hash.Low, hash.High};
	Field('h', halves, sizeof halves);
	return *this;
}

HashBuilder& HashBuilder::AddBytes(const void* data, size_t size)
{
	// Large blocks are hashed on their own, so that they are not copied.
	const XXH128_hash_t hash = XXH3_128bits(data, size);
	return Add(ContentHash{hash.low64, hash.high64});
}

ContentHash HashBuilder::Finish() const
{
	const XXH128_hash_t hash = XXH3_128bits(Bytes.data(), Bytes.size());
	return {hash.low64, hash.high64};
}

ContentHash HashOfPixels(const Image& image)
{
	return HashBuilder()
		.Add(int64_t(image.Width))
		.Add(int64_t(image.Height))
		.Add(int64_t(image.Format()))
		.Add(int64_t(image.NumChannels()))
		.AddBytes(image.Data(), image.PixelCount() * image.PixelBytes())
		.Finish();
}

struct OutputCache::Pending
{
	std::promise<SharedOutput> Promise;
	std::shared_future<SharedOutput> Future = Promise.get_future().share();
};

size_t OutputCache::BytesOf(const NodeOutput& output)
{
	size_t bytes = 0;
	if (output.Out.Pixels)
		bytes += output.Out.Pixels->PixelCount() * output.Out.Pixels->PixelBytes();
	if (output.Out.Context)
		for (const CarriedChannel& carried : output.Out.Context->Carried)
			bytes += carried.Plane.size();
	return bytes;
}

SharedOutput OutputCache::FindOrCompute(const ContentHash& hash, const std::string& group,
                                        const std::function<NodeOutput()>& compute, bool keep, bool* computed)
{
	if (computed)
		*computed = false;
	std::shared_ptr<Pending> pending;
	std::shared_future<SharedOutput> running;  // another thread's computation of the hash
	{
		std::lock_guard<std::mutex> lock(Mutex);
		if (const auto found = Entries.find(hash); found != Entries.end())
		{
			Entry& entry = found->second;
			Uses.splice(Uses.end(), Uses, entry.Use);
			std::list<ContentHash>& members = Groups.at(entry.Group);
			members.splice(members.end(), members, entry.GroupUse);
			return entry.Output;
		}
		if (const auto found = Computing.find(hash); found != Computing.end())
			running = found->second->Future;
		else
			Computing.emplace(hash, pending = std::make_shared<Pending>());
	}
	if (running.valid())
		return running.get();
	if (computed)
		*computed = true;
	SharedOutput output;
	try
	{
		output = std::make_shared<const NodeOutput>(compute());
	}
	catch (...)
	{
		std::lock_guard<std::mutex> lock(Mutex);
		Computing.erase(hash);
		pending->Promise.set_exception(std::current_exception());
		throw;
	}
	std::lock_guard<std::mutex> lock(Mutex);
	Computing.erase(hash);
	if (keep)
		Keep(hash, group, output);
	pending->Promise.set_value(output);
	return output;
}

void OutputCache::Keep(const ContentHash& hash, const std::string& group, const SharedOutput& output)
{
	const size_t bytes = BytesOf(*output);
	if (bytes > Limit)
		return;
	for (auto members = Groups.find(group); members != Groups.end() && members->second.size() >= PerGroup;
	     members = Groups.find(group))
		Drop(members->second.front());
	while (Total + bytes > Limit)
		Drop(Uses.front());
	std::list<ContentHash>& members = Groups[group];
	Uses.push_back(hash);
	members.push_back(hash);
	Entries.emplace(hash, Entry{output, bytes, group, std::prev(Uses.end()), std::prev(members.end())});
	Total += bytes;
}

void OutputCache::Drop(const ContentHash& hash)
{
	const auto found = Entries.find(hash);
	Entry& entry = found->second;
	Total -= entry.Bytes;
	Uses.erase(entry.Use);
	std::list<ContentHash>& members = Groups.at(entry.Group);
	members.erase(entry.GroupUse);
	if (members.empty())
		Groups.erase(entry.Group);
	Entries.erase(found);
}

size_t OutputCache::HeldBytes() const
{
	std::lock_guard<std::mutex> lock(Mutex);
	return Total;
}

size_t OutputCache::HeldOutputs() const
{
	std::lock_guard<std::mutex> lock(Mutex);
	return Entries.size();
}
