#pragma once
// Node outputs kept by content hash: the one cache every host renders
// through (see Evaluator.h).
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "qz/graph/NodeRender.h"

/// A 128-bit hash of everything an output depends on. Two outputs with the
/// same hash are taken for the same output, so the hash is wide enough that
/// a collision is never met in practice.
struct ContentHash
{
	uint64_t Low = 0, High = 0;
	bool operator==(const ContentHash& other) const { return Low == other.Low && High == other.High; }
	bool operator!=(const ContentHash& other) const { return !(*this == other); }
	bool operator<(const ContentHash& other) const
	{
		return High != other.High ? High < other.High : Low < other.Low;
	}
	std::string Hex() const;
};

/// Builds a `ContentHash` from fields added in order. Each field is added
/// with its kind and length, so that no two different lists of fields give
/// the same bytes ("ab" + "c" is not "a" + "bc").
class HashBuilder
{
public:
	HashBuilder& Add(std::string_view text);
	HashBuilder& Add(double number);  // its bits: -0 and 0 differ, every NaN payload is its own
	HashBuilder& Add(int64_t number);
	HashBuilder& Add(const ContentHash& hash);
	/// Raw bytes, such as an image's pixels.
	HashBuilder& AddBytes(const void* data, size_t size);
	ContentHash Finish() const;

private:
	void Field(char kind, const void* data, size_t size);
	std::string Bytes;
};

/// The hash of an image's size, format and every byte of its pixels.
ContentHash HashOfPixels(const Image& image);

using SharedOutput = std::shared_ptr<const NodeOutput>;

/// Node outputs by content hash, the oldest used dropped first beyond a
/// byte limit. An output's bytes are its pixels and every plane of the
/// channels that ride along in its file context. Beyond `PerGroup` outputs
/// of one group (a node at one frame), the group's oldest is dropped too: a
/// slider dragged through many values keeps the latest few, and the memory
/// of the others goes to the next outputs. Safe to use from several threads.
class OutputCache
{
public:
	static constexpr size_t PerGroup = 2;

	explicit OutputCache(size_t byteLimit) : Limit(byteLimit) {}
	OutputCache(const OutputCache&) = delete;
	OutputCache& operator=(const OutputCache&) = delete;

	/// The output kept under `hash`, now the newest used; else `compute()`'s,
	/// kept under `hash` in `group` when `keep` is true and it fits the limit.
	/// While one thread computes a hash, others that ask for it wait for that
	/// output (or that exception) instead of computing it again. `computed`,
	/// when given, tells whether this call ran `compute`.
	SharedOutput FindOrCompute(const ContentHash& hash, const std::string& group,
	                           const std::function<NodeOutput()>& compute, bool keep = true,
	                           bool* computed = nullptr);

	/// The bytes an output holds: pixels and carried planes.
	static size_t BytesOf(const NodeOutput& output);

	size_t HeldBytes() const;
	size_t HeldOutputs() const;
	size_t ByteLimit() const { return Limit; }

private:
	struct Entry
	{
		SharedOutput Output;
		size_t Bytes;
		std::string Group;
		std::list<ContentHash>::iterator Use, GroupUse;
	};
	struct Pending;
	void Keep(const ContentHash& hash, const std::string& group, const SharedOutput& output);
	void Drop(const ContentHash& hash);

	const size_t Limit;
	mutable std::mutex Mutex;
	size_t Total = 0;
	std::map<ContentHash, Entry> Entries;
	std::list<ContentHash> Uses;                          // oldest used first
	std::map<std::string, std::list<ContentHash>> Groups;  // each group's, oldest used first
	std::map<ContentHash, std::shared_ptr<Pending>> Computing;
};
