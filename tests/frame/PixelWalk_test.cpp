// The pixel walk's moves between images and blocks, at the edges of blocks
// and of the eight-pixel shuffles.
#include "PixelWalk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace
{
// Pixel i's channels hold 4i .. 4i+3, except that every fifth pixel carries
// a NaN with a payload and a negative zero, which must survive bit for bit.
FltPixel Numbered(size_t i)
{
	FltPixel pixel;
	pixel.B = 4.0f * i;
	pixel.G = 4.0f * i + 1;
	pixel.R = 4.0f * i + 2;
	pixel.A = 4.0f * i + 3;
	if (i % 5 == 0)
	{
		const uint32_t payload = 0x7fc01234u + static_cast<uint32_t>(i);
		std::memcpy(&pixel.G, &payload, sizeof payload);
		pixel.A = -0.0f;
	}
	return pixel;
}

bool SameBits(const FltPixel& a, const FltPixel& b)
{
	return std::memcmp(&a.B, &b.B, 4 * sizeof(float)) == 0;
}
}

TEST(PixelWalk, ShufflesRoundTripEightPixels)
{
	pixelwalk::Floats8 pixels[4], back[4], b, g, r, a;
	float in[32];
	for (int i = 0; i < 32; ++i)
		in[i] = static_cast<float>(i);
	std::memcpy(pixels, in, sizeof in);
	pixelwalk::Deinterleave(pixels, b, g, r, a);
	for (int p = 0; p < 8; ++p)
	{
		EXPECT_EQ(b[p], 4 * p);
		EXPECT_EQ(g[p], 4 * p + 1);
		EXPECT_EQ(r[p], 4 * p + 2);
		EXPECT_EQ(a[p], 4 * p + 3);
	}
	pixelwalk::Interleave(b, g, r, a, back);
	EXPECT_EQ(std::memcmp(back, in, sizeof in), 0);
}

// A scattered load reads each pixel from its own address, whole and in the
// block's order, through the shuffles and the tail alike.
TEST(PixelWalk, ScatteredLoadReadsEachPixelFromItsAddress)
{
	for (int count : {7, 8, 9, 17, PixelBlock::Capacity})
	{
		std::vector<FltPixel> pixels(count);
		std::vector<const uint8_t*> addresses(count);
		for (int i = 0; i < count; ++i)
		{
			pixels[i] = Numbered(i);
			addresses[count - 1 - i] = reinterpret_cast<const uint8_t*>(&pixels[i]);
		}
		PixelBlock block;
		block.Count = count;
		pixelwalk::LoadScattered(addresses.data(), block);
		for (int i = 0; i < count; ++i)
			EXPECT_TRUE(SameBits(block.Pixel(i), pixels[count - 1 - i])) << count << " pixels, pixel " << i;
	}
}

// A visit sees every pixel once, in row order; a map (spans of blocks on
// several threads) pairs each pixel with the side image's pixel at the same
// place. The last size is a frame large enough to be written past the caches.
TEST(PixelWalk, BlocksCoverEveryPixelOnceAtBlockEdges)
{
	const std::pair<int, int> sizes[] = {{7, 1}, {7, 3}, {8, 3}, {127, 1}, {128, 3}, {129, 3}, {1031, 1025}};
	for (auto [width, height] : sizes)
		for (PixelFormat format : {PixelFormat::Float, PixelFormat::Half})
		{
			Image input(width, height, format), side(width, height, format), output(width, height, format);
			for (size_t i = 0; i < input.PixelCount(); ++i)
			{
				input.WritePixel(i, Numbered(i));
				side.WritePixel(i, Numbered(i + 1000));
			}
			const std::string where = std::to_string(width) + " x " + std::to_string(height) +
			                          (format == PixelFormat::Half ? " half" : " float");
			size_t next = 0;
			bool inOrder = true;
			VisitPixelBlocks(&input, [&](const PixelBlock& block) {
				for (int k = 0; k < block.Count; ++k, ++next)
				{
					FltPixel expected;
					input.ReadPixel(next, expected);
					inOrder = inOrder && SameBits(block.Pixel(k), expected);
				}
			});
			EXPECT_EQ(next, input.PixelCount()) << where;
			EXPECT_TRUE(inOrder) << where;

			// A gather on the worker pool merges its spans back into row order.
			using Seen = std::vector<FltPixel>;
			const Seen seen = GatherPixelBlocks(
				&input, Seen{},
				[](Seen& tally, const PixelBlock& block) {
					for (int k = 0; k < block.Count; ++k)
						tally.push_back(block.Pixel(k));
				},
				[](Seen& total, const Seen& tally) { total.insert(total.end(), tally.begin(), tally.end()); });
			ASSERT_EQ(seen.size(), input.PixelCount()) << where;
			for (size_t i = 0; i < seen.size(); ++i)
			{
				FltPixel expected;
				input.ReadPixel(i, expected);
				ASSERT_TRUE(SameBits(seen[i], expected)) << where << ", pixel " << i;
			}

			// Green comes from the side image, the other channels from the input.
			MapPixelBlocks(&input, &side, &output, [](PixelBlock& block, const PixelBlock& sideBlock) {
				std::copy(sideBlock.G, sideBlock.G + block.Count, block.G);
			});
			for (size_t i = 0; i < input.PixelCount(); ++i)
			{
				FltPixel expected, sidePixel, out;
				input.ReadPixel(i, expected);
				side.ReadPixel(i, sidePixel);
				expected.G = sidePixel.G;
				output.ReadPixel(i, out);
				ASSERT_TRUE(SameBits(expected, out)) << where << ", pixel " << i;
			}
		}
}
