#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>

#include "ToolHarness.h"
#include "qz/graph/Frames.h"

TEST(Frames, RangesListsAndSteps)
{
	EXPECT_EQ(ParseFrameRange("1-5"), (std::vector<int>{1, 2, 3, 4, 5}));
	EXPECT_EQ(ParseFrameRange("7"), std::vector<int>{7});
	EXPECT_EQ(ParseFrameRange("1-10:4"), (std::vector<int>{1, 5, 9}));
	EXPECT_EQ(ParseFrameRange("1-3,20,2-4"), (std::vector<int>{1, 2, 3, 20, 4})) << "each frame once, in order";
	EXPECT_EQ(ParseFrameRange("-2-1"), (std::vector<int>{-2, -1, 0, 1}));
	EXPECT_EQ(ParseFrameRange("-5--3"), (std::vector<int>{-5, -4, -3}));
	EXPECT_EQ(ParseFrameRange("2147483646-2147483647:5"), std::vector<int>{2147483646}) << "no overflow at the end";

	// Written back as a range text: runs of consecutive frames, read back the same.
	EXPECT_EQ(FrameRangeText({1, 2, 3, 7, 9, 10}), "1-3,7,9-10");
	EXPECT_EQ(FrameRangeText({}), "");
	for (const char* text : {"-5--3,0", "-2-1", "2147483646-2147483647", "1-10:4"})
		EXPECT_EQ(ParseFrameRange(FrameRangeText(ParseFrameRange(text))), ParseFrameRange(text)) << text;
}

TEST(Frames, MalformedRangesAreUsageErrors)
{
	for (const char* text : {"", "5-1", "1-10:0", "1-10:-2", "a-b", "1-", "-", "1,,2", "1,", "1-2:3:4", "1..5",
	                         "99999999999", "1-5 ", " 1-5", "0-2000000000", "1-999999,2000000-2000001"})
		EXPECT_EQ(ErrorKindOf([&] { ParseFrameRange(text); }), ErrorKind::Usage) << '"' << text << '"';
}

TEST(Frames, ChunksCoverEveryFrameOnceAndDifferByOneFrameAtMost)
{
	// So no task is empty while another holds two frames or more.
	const std::vector<int> all = ParseFrameRange("1-10,20,30-40:3");  // 15 frames
	for (size_t count = 0; count <= all.size(); ++count)
	{
		const std::vector<int> frames(all.begin(), all.begin() + count);
		for (int n = 1; n <= 17; ++n)
		{
			std::vector<int> covered;
			size_t fewest = SIZE_MAX, most = 0;
			for (int k = 1; k <= n; ++k)
			{
				const std::vector<int> chunk = ChunkOf(frames, k, n);
				fewest = std::min(fewest, chunk.size());
				most = std::max(most, chunk.size());
				covered.insert(covered.end(), chunk.begin(), chunk.end());
			}
			EXPECT_EQ(covered, frames) << count << " frames in " << n << " chunks";
			EXPECT_LE(most - fewest, 1u) << count << " frames in " << n << " chunks";
		}
	}
	EXPECT_EQ(ChunkOf({1, 2, 3, 4}, 2, 2), (std::vector<int>{3, 4}));
	EXPECT_EQ(ParseChunk("3/10"), (std::pair<int, int>{3, 10}));
	for (const char* text : {"0/3", "4/3", "1/0", "x/2", "2", "1/2/3", "-1/2"})
		EXPECT_EQ(ErrorKindOf([&] { ParseChunk(text); }), ErrorKind::Usage) << text;
}

TEST(Frames, SequencePaths)
{
	EXPECT_TRUE(IsSequencePath("shot.####.exr"));
	EXPECT_TRUE(IsSequencePath("shot.%04d.exr"));
	EXPECT_TRUE(IsSequencePath("shot.%d.exr"));
	EXPECT_FALSE(IsSequencePath("shot.exr"));
	EXPECT_FALSE(IsSequencePath("100%.exr"));

	EXPECT_EQ(FramePath("shot.####.exr", 7), "shot.0007.exr");
	EXPECT_EQ(FramePath("shot.#.exr", 123), "shot.123.exr");
	EXPECT_EQ(FramePath("shot.%04d.exr", 42), "shot.0042.exr");
	EXPECT_EQ(FramePath("shot.%d.exr", 42), "shot.42.exr");
	EXPECT_EQ(FramePath("shot.%3d.exr", 5), "shot.  5.exr");
	// As printf writes them: the padding counts the sign.
	EXPECT_EQ(FramePath("shot.####.exr", -3), "shot.-003.exr");
	EXPECT_EQ(FramePath("shot.%04d.exr", -3), "shot.-003.exr");
	EXPECT_EQ(FramePath("shot.@@@@.exr", 12), "shot.0012.exr");
	EXPECT_EQ(FramePath("/a/b.##/c.####.exr", 1), "/a/b.##/c.0001.exr") << "the frame is in the file name";
	EXPECT_FALSE(IsSequencePath("/shots/user@host/plate.exr"));
	EXPECT_EQ(FramePath("still.exr", 9), "still.exr");
}
