#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "qz/graph/OutputCache.h"

namespace
{
ContentHash HashOf(const std::string& name)
{
	return HashBuilder().Add(name).Finish();
}

NodeOutput OutputOf(int width, size_t carriedBytes = 0)
{
	std::shared_ptr<FileContext> context;
	if (carriedBytes)
	{
		context = std::make_shared<FileContext>();
		context->Carried.push_back({0, std::vector<unsigned char>(carriedBytes)});
	}
	return NodeOutput{{ShareImage(new Image(width, 1)), context}, {}};
}

// Looks `name` up, making `output` when it is not kept; true when it was kept.
bool Kept(OutputCache& cache, const std::string& name, const std::string& group, const NodeOutput& output)
{
	bool computed = false;
	cache.FindOrCompute(HashOf(name), group, [&] { return output; }, true, &computed);
	return !computed;
}
}

TEST(OutputCache, DropsTheOutputsUsedLongestAgoBeyondItsSize)
{
	OutputCache cache(3 * 16);  // three float RGBA pixels
	for (const char* name : {"a", "b"})
		Kept(cache, name, name, OutputOf(1));
	Kept(cache, "huge", "huge", OutputOf(4));  // larger than the whole cache: not kept, nothing dropped
	EXPECT_TRUE(Kept(cache, "a", "a", OutputOf(1)));
	Kept(cache, "c", "c", OutputOf(2));  // drops "b", used longest ago
	EXPECT_EQ(cache.HeldBytes(), 3u * 16);
	for (const auto& [name, kept] : {std::pair{"a", true}, {"c", true}, {"b", false}, {"huge", false}})
		EXPECT_EQ(Kept(cache, name, "check", OutputOf(0)), kept) << name;
}

TEST(OutputCache, CountsTheCarriedPlanesOfAnOutput)
{
	EXPECT_EQ(OutputCache::BytesOf(OutputOf(2, 100)), 2u * 16 + 100);
	OutputCache cache(200);
	Kept(cache, "a", "a", OutputOf(1, 100));  // 116 bytes
	Kept(cache, "b", "b", OutputOf(1, 60));   // 76 more: 192
	EXPECT_EQ(cache.HeldBytes(), 192u);
	Kept(cache, "c", "c", OutputOf(1));  // 16 more would pass 200: "a" goes
	EXPECT_EQ(cache.HeldBytes(), 92u);
	EXPECT_FALSE(Kept(cache, "a", "a", OutputOf(0)));
}

TEST(OutputCache, KeepsTheLatestUsedOutputsOfAGroup)
{
	static_assert(OutputCache::PerGroup == 2);
	OutputCache cache(100 * 16);
	for (const char* name : {"node at 1, value 1", "node at 1, value 2"})
		Kept(cache, name, "node at 1", OutputOf(1));
	Kept(cache, "other", "other", OutputOf(1));
	EXPECT_TRUE(Kept(cache, "node at 1, value 1", "node at 1", OutputOf(1)));  // now used after value 2
	Kept(cache, "node at 1, value 3", "node at 1", OutputOf(1));
	EXPECT_FALSE(Kept(cache, "node at 1, value 2", "node at 1", OutputOf(1)));
	// value 2 came back in and pushed value 1 out; 3 and the other group stay.
	EXPECT_TRUE(Kept(cache, "node at 1, value 3", "node at 1", OutputOf(1)));
	EXPECT_TRUE(Kept(cache, "other", "other", OutputOf(1)));
}

TEST(OutputCache, ComputesAHashOnceWhileOthersWaitForIt)
{
	OutputCache cache(1 << 20);
	std::atomic<int> computed{0};
	std::promise<void> started, release;
	std::shared_future<void> released = release.get_future().share();
	const auto slow = [&] {
		++computed;
		started.set_value();
		released.wait();
		return OutputOf(3);
	};
	auto first = std::async(std::launch::async, [&] { return cache.FindOrCompute(HashOf("still"), "g", slow); });
	started.get_future().wait();
	auto second = std::async(std::launch::async, [&] {
		return cache.FindOrCompute(HashOf("still"), "g", [&] { return ++computed, OutputOf(5); });
	});
	release.set_value();
	EXPECT_EQ(first.get(), second.get());
	EXPECT_EQ(computed, 1);
}

TEST(OutputCache, AFailedComputationReachesItsWaitersAndIsNotKept)
{
	OutputCache cache(1 << 20);
	const auto failing = [] () -> NodeOutput { throw std::runtime_error("no such file"); };
	EXPECT_THROW(cache.FindOrCompute(HashOf("a"), "a", failing), std::runtime_error);
	EXPECT_EQ(cache.HeldOutputs(), 0u);
	EXPECT_FALSE(Kept(cache, "a", "a", OutputOf(1)));  // computed again, and now kept
}

TEST(ContentHash, FieldsAreTakenWholeAndInOrder)
{
	const ContentHash ab_c = HashBuilder().Add("ab").Add("c").Finish();
	EXPECT_NE(ab_c, HashBuilder().Add("a").Add("bc").Finish());
	EXPECT_NE(ab_c, HashBuilder().Add("c").Add("ab").Finish());
	EXPECT_EQ(ab_c, HashBuilder().Add("ab").Add("c").Finish());
	EXPECT_NE(HashBuilder().Add(0.0).Finish(), HashBuilder().Add(-0.0).Finish()) << "-0 renders differently";
	EXPECT_NE(HashBuilder().Add(1.0).Finish(), HashBuilder().Add(int64_t(1)).Finish());
	EXPECT_EQ(ab_c.Hex().size(), 32u);
}
