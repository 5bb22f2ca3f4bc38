#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <utility>

#include "ToolHarness.h"

namespace
{
// Source pixel (x, y) is (x, y, 7, 1): its colour names where it came from.
FltPixel Source(int x, int y)
{
	return Pixel(float(x), float(y), 7.0f, 1.0f);
}

// Unwraps a `width` x `height` render whose UV pass is `uv(x, y)`.
RenderResult Unwrap(int width, int height, const std::function<FltPixel(int, int)>& uv,
                    const std::map<std::string, double>& numbers = {})
{
	ImagePtr image = MakeImage(width, height, Source);
	ImagePtr pass = MakeImage(width, height, uv);
	return RunTool("UVunwrap", {{"Image", image.get()}, {"UV", pass.get()}}, numbers);
}

// Expects the output pixel (x, y) to hold source pixel (sx, sy), or 0 for sx < 0.
void ExpectFrom(const Image& out, int x, int y, int sx, int sy)
{
	const FltPixel p = PixelAt(out, x, y);
	const FltPixel e = sx < 0 ? Pixel(0, 0, 0, 0) : Source(sx, sy);
	EXPECT_EQ(p.R, e.R) << "at " << x << ", " << y;
	EXPECT_EQ(p.G, e.G) << "at " << x << ", " << y;
	EXPECT_EQ(p.B, e.B) << "at " << x << ", " << y;
	EXPECT_EQ(p.A, e.A) << "at " << x << ", " << y;
}

const float Nan = std::numeric_limits<float>::quiet_NaN(), Inf = std::numeric_limits<float>::infinity();
}

TEST(UVunwrap, Declarations)
{
	const std::string checkbox = "DataType=Number,Control=CheckboxControl,Default=0";
	EXPECT_EQ(Declarations("UVunwrap"), (std::vector<std::string>{
		"UVunwrap|Unwrap image by UV|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Swap|Swap UV|" + checkbox,
		"Flipx|Flip X|" + checkbox,
		"Flipy|Flip Y|" + checkbox,
		"InterpolateSamples|Interpolate samples|" + checkbox,
		"Interpolate pixel setting|Interpolate pixel setting|" + checkbox,
		"Image|Image|DataType=Image,MainIndex=1,Required=1",
		"UV|UV|DataType=Image,MainIndex=2,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(UVunwrap, PlacesClampsAndLetsTheLastPixelWin)
{
	// 100 x 80. Every pixel has UV (0, 0) but three: (3, 4) at (0.5, 0.25)
	// lands on column 50, row 20; (5, 4) at (1.0, -0.5) is clamped to column
	// 99, row 0; (6, 4) at (0.3, 0.25) lands on column 0.3f * 100 =
	// 30.0000012 -> 30, row 20.
	auto uv = [](int x, int y) {
		if (y == 4 && x == 3)
			return Pixel(0.5f, 0.25f, 0, 1);
		if (y == 4 && x == 5)
			return Pixel(1.0f, -0.5f, 0, 1);
		if (y == 4 && x == 6)
			return Pixel(0.3f, 0.25f, 0, 1);
		return Pixel(0, 0, 0, 0);
	};
	RenderResult plain = Unwrap(100, 80, uv);
	ASSERT_TRUE(plain.Output);
	ExpectFrom(*plain.Output, 50, 20, 3, 4);
	ExpectFrom(*plain.Output, 99, 0, 5, 4);
	ExpectFrom(*plain.Output, 30, 20, 6, 4);
	// Everything else landed on (0, 0); the last in scan order remains.
	ExpectFrom(*plain.Output, 0, 0, 99, 79);
	ExpectFrom(*plain.Output, 1, 0, -1, 0);
	ExpectFrom(*plain.Output, 50, 21, -1, 0);

	// Flip y: (0.3, 1 - 0.25) -> (30, 60); (0.5, 0.75) -> (50, 60); (1.0, 1.5)
	// -> (99, 79); the background (0, 1) -> (0, 79).
	RenderResult flipped = Unwrap(100, 80, uv, {{"Flipy", 1.0}});
	ExpectFrom(*flipped.Output, 30, 60, 6, 4);
	ExpectFrom(*flipped.Output, 50, 60, 3, 4);
	ExpectFrom(*flipped.Output, 99, 79, 5, 4);
	ExpectFrom(*flipped.Output, 0, 79, 99, 79);

	// Swapped, (0.5, 0.25) reads as u = 0.25, v = 0.5: column 25, row 40.
	RenderResult swapped = Unwrap(100, 80, uv, {{"Swap", 1.0}});
	ExpectFrom(*swapped.Output, 25, 40, 3, 4);

	// A collision between rows: (1, 0) and (0, 1) both at (0.5, 0.5) of a
	// 4 x 4 image land on (2, 2); (0, 1) comes later in scan order.
	RenderResult collision = Unwrap(4, 4, [](int x, int y) {
		return (x == 1 && y == 0) || (x == 0 && y == 1) ? Pixel(0.5f, 0.5f, 0, 1) : Pixel(0.9f, 0.9f, 0, 1);
	});
	ExpectFrom(*collision.Output, 2, 2, 0, 1);

	// An output of 1 MB or more may take over the memory of images given back
	// while the inputs were made (here the last four, of 9s): what no pixel
	// reaches is transparent black all the same, up to the last pixel of a
	// frame whose pixel count is odd. All 259 x 255 pixels land on (129, 127);
	// the last remains.
	const int width = 259, height = 255;
	ImagePtr image = MakeImage(width, height, Source), pass = MakeImage(width, height, Pixel(0.5f, 0.5f, 0, 1));
	for (int i = 0; i < 4; ++i)
		MakeImage(width, height, Pixel(9, 9, 9, 9));
	RenderResult reused = RunTool("UVunwrap", {{"Image", image.get()}, {"UV", pass.get()}});
	for (const auto& [x, y] : {std::pair{129, 127}, {0, 0}, {128, 127}, {257, 254}, {258, 254}})
		ExpectFrom(*reused.Output, x, y, x == 129 && y == 127 ? 258 : -1, 254);
}

TEST(UVunwrap, InterpolateSamplesAveragesWithTheNeighbours)
{
	// UV ((x + 0.5) / 3, (y + 0.5) / 3) puts every pixel of a 3 x 3 image back
	// in place. Red x: centre (1 + 0 + 2 + 1 + 1) / 5 = 1; edge (1, 0):
	// (1 + 0 + 2 + 1) / 4 = 1; corner (0, 0): (0 + 1 + 0) / 3 = 1/3.
	// Green y: corner (0 + 0 + 1) / 3; edge (0, 1): (1 + 1 + 0 + 2) / 4 = 1.
	auto inPlace = [](int x, int y) { return Pixel((x + 0.5f) / 3.0f, (y + 0.5f) / 3.0f, 0, 1); };
	RenderResult averaged = Unwrap(3, 3, inPlace, {{"InterpolateSamples", 1.0}});
	ASSERT_TRUE(averaged.Output);
	const FltPixel centre = PixelAt(*averaged.Output, 1, 1), edge = PixelAt(*averaged.Output, 1, 0);
	const FltPixel corner = PixelAt(*averaged.Output, 0, 0), side = PixelAt(*averaged.Output, 0, 1);
	EXPECT_EQ(centre.R, 1.0f);
	EXPECT_EQ(centre.G, 1.0f);
	EXPECT_EQ(edge.R, 1.0f);
	EXPECT_EQ(edge.G, 0.25f);  // (0 + 0 + 0 + 1) / 4
	EXPECT_EQ(corner.R, static_cast<float>(1.0 / 3.0));
	EXPECT_EQ(corner.G, static_cast<float>(1.0 / 3.0));
	EXPECT_EQ(side.G, 1.0f);
	EXPECT_EQ(corner.B, 7.0f);
	EXPECT_EQ(corner.A, 1.0f);

	// A 1 x 1 image keeps its pixel (count 1).
	ImagePtr single = MakeImage(1, 1, Pixel(0.3f, 0.6f, 0.9f, 0.5f));
	ImagePtr uv = MakeImage(1, 1, Pixel(0, 0, 0, 1));
	RenderResult kept = RunTool("UVunwrap", {{"Image", single.get()}, {"UV", uv.get()}}, {{"InterpolateSamples", 1.0}});
	EXPECT_TRUE(SameImage(*kept.Output, *single));
}

TEST(UVunwrap, PixelSettingWritesBlocksInsideTheImage)
{
	// 5 x 4; the background lands on (0, 0) as a block over (0..1, 0..1).
	// (1, 2) at (1.0, 0.5): u = 5 -> 4 (last column), v = 2: writes (4, 2) and
	// (4, 3), no fifth column. (2, 2) at (0.7, 1.0): u = 0.7f * 5 = 3.4999999,
	// v = 4 -> 3 (last row): writes (3, 3) and, 4.4999999 < 5, (4, 3), over
	// the earlier pixel's.
	RenderResult blocks = Unwrap(5, 4,
	                             [](int x, int y) {
		                             if (y == 2 && x == 1)
			                             return Pixel(1.0f, 0.5f, 0, 1);
		                             if (y == 2 && x == 2)
			                             return Pixel(0.7f, 1.0f, 0, 1);
		                             return Pixel(0, 0, 0, 1);
	                             },
	                             {{"Interpolate pixel setting", 1.0}});
	ASSERT_TRUE(blocks.Output);
	ExpectFrom(*blocks.Output, 4, 2, 1, 2);
	ExpectFrom(*blocks.Output, 4, 3, 2, 2);
	ExpectFrom(*blocks.Output, 3, 3, 2, 2);
	ExpectFrom(*blocks.Output, 3, 2, -1, 0);
	ExpectFrom(*blocks.Output, 1, 1, 4, 3);
	ExpectFrom(*blocks.Output, 2, 0, -1, 0);
}

TEST(UVunwrap, SizeMismatchLeavesTheClearedImage)
{
	ImagePtr image = MakeImage(100, 80, Source);
	ImagePtr uv = MakeImage(100, 81, Pixel(0.5f, 0.5f, 0, 1));
	RenderResult result = RunTool("UVunwrap", {{"Image", image.get()}, {"UV", uv.get()}});
	ASSERT_TRUE(result.Output);
	ImagePtr cleared = MakeImage(100, 80, Pixel(0, 0, 0, 0));
	EXPECT_TRUE(SameImage(*result.Output, *cleared));
}

TEST(UVunwrap, NotANumberDropsThePixelAndInfinitiesClamp)
{
	// Only (1, 0) and (2, 0) of a 4 x 2 image name a position that is not a
	// number: they land nowhere. (3, 0) at (inf, -inf) goes to (3, 0); the
	// rest at (0.6, 0.6) to (2, 1).
	RenderResult result = Unwrap(4, 2, [](int x, int y) {
		if (y == 0 && x == 1)
			return Pixel(Nan, 0.5f, 0, 1);
		if (y == 0 && x == 2)
			return Pixel(0.5f, Nan, 0, 1);
		if (y == 0 && x == 3)
			return Pixel(Inf, -Inf, 0, 1);
		return Pixel(0.6f, 0.6f, 0, 1);
	}, {{"Interpolate pixel setting", 1.0}, {"InterpolateSamples", 1.0}});
	ASSERT_TRUE(result.Output);
	// (3, 0) averaged with (2, 0) and (3, 1): red (3 + 2 + 3) / 3, green 1 / 3.
	const FltPixel clamped = PixelAt(*result.Output, 3, 0);
	EXPECT_EQ(clamped.R, static_cast<float>(8.0 / 3.0));
	EXPECT_EQ(clamped.G, static_cast<float>(1.0 / 3.0));
	for (auto [x, y] : {std::pair{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}})
		EXPECT_EQ(PixelAt(*result.Output, x, y).A, 0.0f) << x << ", " << y;
	EXPECT_EQ(PixelAt(*result.Output, 2, 1).A, 1.0f);
}
