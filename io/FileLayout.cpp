// How the channels of a file map to a picture and back, shared by the
// OpenEXR readers and writers and by the image library module.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FileFormats.h"

size_t SizeOf(StoredType type)
{
	switch (type)
	{
	case StoredType::UInt8: return 1;
	case StoredType::UInt16:
	case StoredType::Half: return 2;
	case StoredType::UInt32:
	case StoredType::Float: return 4;
	}
	return 4;
}

HostError ReadError(const std::string& path, const std::string& why)
{
	return HostError(ErrorKind::Input, "cannot read image " + path + ": " + why);
}

int ChoosePart(const ImageSource& source, const std::vector<std::string>& names)
{
	if (source.Part.empty())
		return 0;
	const auto named = std::find(names.begin(), names.end(), source.Part);
	if (named != names.end())
		return static_cast<int>(named - names.begin());
	const bool isIndex = source.Part.find_first_not_of("0123456789") == std::string::npos && source.Part.size() < 9;
	if (isIndex && std::stoi(source.Part) < static_cast<int>(names.size()))
		return std::stoi(source.Part);
	std::string parts = "parts";
	for (size_t i = 0; i < names.size(); ++i)
		parts += (i ? ", " : " ") + std::to_string(i) + (names[i].empty() ? "" : " \"" + names[i] + "\"");
	throw ReadError(source.Path, "it has no part \"" + source.Part + "\" (" + parts + ")");
}

namespace
{
std::string LayerOf(const std::string& channel)
{
	const size_t dot = channel.rfind('.');
	return dot == std::string::npos ? "" : channel.substr(0, dot);
}

std::string BaseOf(const std::string& channel)
{
	const size_t dot = channel.rfind('.');
	return dot == std::string::npos ? channel : channel.substr(dot + 1);
}

// "layers N, P; channels R G B A N.X N.Y N.Z P.x P.y P.z"
std::string DescribeChannels(const FileContext& context)
{
	std::vector<std::string> layers;
	std::string channels;
	for (const StoredChannel& channel : context.Channels)
	{
		const std::string layer = LayerOf(channel.Name);
		if (!layer.empty() && std::find(layers.begin(), layers.end(), layer) == layers.end())
			layers.push_back(layer);
		channels += (channels.empty() ? "" : " ") + channel.Name;
	}
	std::string text;
	for (const std::string& layer : layers)
		text += (text.empty() ? "layers " : ", ") + layer;
	return text + (text.empty() ? "" : "; ") + "channels " + channels;
}

int FindChannel(const FileContext& context, const std::string& name)
{
	for (size_t c = 0; c < context.Channels.size(); ++c)
		if (context.Channels[c].Name == name)
			return static_cast<int>(c);
	return -1;
}

// The channels of `layer` ("" for the unlayered ones) that become R, G, B, A,
// by the usual names of colour, vector and point channels.
bool TakeLayer(const std::string& layer, FileContext& context)
{
	const std::string prefix = layer.empty() ? "" : layer + ".";
	static const char* const Names[3][4] = {{"R", "G", "B", "A"}, {"X", "Y", "Z", "A"}, {"x", "y", "z", "a"}};
	for (int set = 0; set < 3; ++set)
	{
		int found[4];
		for (int i = 0; i < 4; ++i)
			found[i] = FindChannel(context, prefix + Names[set][i]);
		// Any colour channel makes a colour picture; a vector needs x and y,
		// so that a lone Z is a depth channel.
		if (set == 0 ? found[0] < 0 && found[1] < 0 && found[2] < 0 : found[0] < 0 || found[1] < 0)
			continue;
		std::copy(found, found + 4, context.Taken);
		if (context.Taken[3] < 0)
			context.Taken[3] = FindChannel(context, prefix + (set == 2 ? "A" : "a"));
		context.LayerPrefix = prefix;
		return true;
	}
	// A layer of one channel, or one channel and alpha, is a gray picture.
	std::vector<int> members;
	for (size_t c = 0; c < context.Channels.size(); ++c)
	{
		const std::string& name = context.Channels[c].Name;
		if (LayerOf(name) == layer && BaseOf(name) != "A" && BaseOf(name) != "a")
			members.push_back(static_cast<int>(c));
	}
	if (members.size() != 1)
		return false;
	context.Taken[0] = context.Taken[1] = context.Taken[2] = members[0];
	context.Taken[3] = FindChannel(context, prefix + "A");
	context.LayerPrefix = prefix;
	return true;
}
}

void ChooseChannels(const ImageSource& source, FileContext& context)
{
	const std::string& path = source.Path;
	if (!source.Channel.empty())
	{
		const int c = FindChannel(context, source.Channel);
		if (c < 0)
			throw ReadError(path, "it has no channel \"" + source.Channel + "\" (" + DescribeChannels(context) + ")");
		context.Taken[0] = context.Taken[1] = context.Taken[2] = c;
		context.LayerPrefix = source.Channel + ".";
	}
	else if (!source.Layer.empty())
	{
		if (!TakeLayer(source.Layer, context))
			throw ReadError(path, "it has no layer \"" + source.Layer + "\" of R/G/B, X/Y/Z or x/y/z channels (" +
			                          DescribeChannels(context) + ")");
	}
	else
	{
		for (const char* chroma : {"RY", "BY"})
			if (FindChannel(context, chroma) >= 0)
				throw ReadError(path, "it holds luminance and chroma (Y, RY, BY), which qz does not read; "
				                      "convert it to RGB first (" + DescribeChannels(context) + ")");
		if (!TakeLayer("", context))
			throw ReadError(path, "it has no R, G or B channels; choose a layer or channel, as in " + path +
			                          ":layer=NAME or :channel=NAME (" + DescribeChannels(context) + ")");
	}
	for (int c : context.Taken)
		if (c >= 0 && (context.Channels[c].XSampling != 1 || context.Channels[c].YSampling != 1))
			throw ReadError(path, "channel \"" + context.Channels[c].Name + "\" is subsampled, which qz does not read");
}

void CheckSize(const std::string& path, const Window& data, size_t bytesPerPixel, const std::string& compression)
{
	const long long pixels = static_cast<long long>(data.Width) * data.Height;
	const std::string size = std::to_string(data.Width) + " x " + std::to_string(data.Height);
	if (data.Width <= 0 || data.Height <= 0)
		throw ReadError(path, "it has no pixels (" + size + ")");
	if (pixels > MaxFilePixels)
		throw ReadError(path, "its header claims " + size + " pixels, more than the " + std::to_string(MaxFilePixels) +
		                          " qz reads");
	// Decoded bytes a file of this size could plausibly hold: the ratios are
	// well above what each method reaches on a constant image.
	const std::string method = compression.substr(0, compression.find(':'));
	const double ratio = method == "none" ? 1.1 : method == "rle" ? 200.0 : method == "b44" || method == "b44a" ? 8.0
	                     : method == "dwaa" || method == "dwab"                                           ? 1 << 17
	                                                                                                      : 1 << 12;
	std::error_code ec;
	const uintmax_t bytes = std::filesystem::file_size(path, ec);
	if (!ec && double(pixels) * bytesPerPixel > double(bytes) * ratio + double(16 << 20))
		throw ReadError(path, "its header claims " + size + " pixels, far more than its " + std::to_string(bytes) +
		                          " bytes can hold");
}

void CompletePicture(const FileContext& context, Image& image)
{
	float* pixel = reinterpret_cast<float*>(image.Data());
	const bool gray = context.Gray();
	bool missing[4];
	for (int i = 0; i < 4; ++i)
		missing[i] = context.Taken[i] < 0;
	if (!gray && !missing[0] && !missing[1] && !missing[2] && !missing[3])
		return;
	for (size_t p = 0, n = image.PixelCount(); p < n; ++p, pixel += 4)
	{
		if (gray)
			pixel[SlotOf[1]] = pixel[SlotOf[2]] = pixel[SlotOf[0]];
		for (int i = 0; i < 4; ++i)
			if (missing[i])
				pixel[SlotOf[i]] = i == 3 ? 1.0f : 0.0f;  // no alpha reads as opaque
	}
}

namespace
{
bool IsGray(const Image& image)
{
	const float* p = reinterpret_cast<const float*>(image.Data());
	for (size_t i = 0, n = image.PixelCount(); i < n; ++i, p += 4)
		if (std::memcmp(p, p + 1, sizeof(float)) || std::memcmp(p + 1, p + 2, sizeof(float)))
			return false;
	return true;
}

bool AlphaIsOne(const Image& image)
{
	const float* p = reinterpret_cast<const float*>(image.Data());
	for (size_t i = 0, n = image.PixelCount(); i < n; ++i)
		if (p[4 * i + 3] != 1.0f)
			return false;
	return true;
}
}

std::vector<WrittenChannel> ChannelsToWrite(const Image& pixels, const FileContext* context, StoredType type,
                                            bool anyChannels, bool alphaAllowed)
{
	static const char* const Rgba[4] = {"R", "G", "B", "A"};
	std::vector<WrittenChannel> channels;
	if (!context)
	{
		for (int i = 0; i < (alphaAllowed ? 4 : 3); ++i)
			channels.push_back({Rgba[i], type, SlotOf[i]});
		return channels;
	}
	const bool gray = context->Gray() && IsGray(pixels);
	const bool alpha = alphaAllowed && (context->Taken[3] >= 0 || !AlphaIsOne(pixels));
	const auto unique = [&](const std::string& name, const std::string& otherwise) {
		return FindChannel(*context, name) < 0 ? name : otherwise;
	};
	if (!anyChannels)
	{
		// Formats of fixed layouts take the picture alone.
		if (gray)
			channels.push_back({"Y", type, SlotOf[0]});
		else
			for (int i = 0; i < 3; ++i)
				channels.push_back({Rgba[i], type, SlotOf[i]});
		if (alpha)
			channels.push_back({"A", type, SlotOf[3]});
		return channels;
	}
	for (size_t c = 0; c < context->Channels.size(); ++c)
	{
		const std::string& name = context->Channels[c].Name;
		const int* taken = std::find(context->Taken, context->Taken + 4, static_cast<int>(c));
		if (taken == context->Taken + 4)
		{
			for (size_t k = 0; k < context->Carried.size(); ++k)
				if (context->Carried[k].Channel == static_cast<int>(c))
					channels.push_back({name, context->Channels[c].Type, -1, static_cast<int>(k)});
		}
		else if (context->Gray() && taken < context->Taken + 3)
		{
			if (gray)
				channels.push_back({name, type, SlotOf[0]});
			else
				for (int i = 0; i < 3; ++i)
					channels.push_back({unique(context->LayerPrefix + Rgba[i], name + "." + Rgba[i]), type, SlotOf[i]});
		}
		else
			channels.push_back({name, type, SlotOf[taken - context->Taken]});
	}
	if (alpha && context->Taken[3] < 0)
		channels.push_back({unique(context->LayerPrefix + "A", context->LayerPrefix + "alpha"), type, SlotOf[3]});
	return channels;
}

StoredType WrittenType(const Image& pixels, const FileContext* context, const WriteSettings& settings)
{
	if (settings.Type)
		return *settings.Type;
	if (context)
		return context->Channels[std::max(context->Taken[0], 0)].Type;
	switch (pixels.Format())
	{
	case PixelFormat::UInt8: return StoredType::UInt8;
	case PixelFormat::UInt16: return StoredType::UInt16;
	case PixelFormat::Half: return StoredType::Half;
	case PixelFormat::Float: return StoredType::Float;
	}
	return StoredType::Float;
}

int WriteAt(int fd, const void* data, size_t size, uint64_t offset)
{
	for (size_t done = 0; done < size;)
	{
		const ssize_t written = ::pwrite(fd, static_cast<const char*>(data) + done, size - done,
		                                 static_cast<off_t>(offset + done));
		if (written < 0 && errno == EINTR)
			continue;
		if (written <= 0)
			return written < 0 ? errno : ENOSPC;
		done += static_cast<size_t>(written);
	}
	return 0;
}

std::string RecordedColourSpace(const FileContext* context, const WriteSettings& settings)
{
	return !settings.ColorSpace.empty() ? settings.ColorSpace : context ? context->ColorSpace : "";
}
