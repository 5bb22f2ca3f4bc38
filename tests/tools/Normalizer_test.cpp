#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ToolHarness.h"

namespace
{
// A one-row image of the given pixels.
ImagePtr Row(const std::vector<FltPixel>& pixels)
{
	return MakeImage(static_cast<int>(pixels.size()), 1, [&](int x, int) { return pixels[x]; });
}
}

TEST(Normalizer, Declarations)
{
	const std::string slider = "DataType=Number,Control=SliderControl,Default=";
	EXPECT_EQ(Declarations("Normalizer"), (std::vector<std::string>{
		"ICI|Auto Normalizes Color Values|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Lum|Normalize By Image Luminance (not separate channels)|DataType=Number,Control=CheckboxControl,Default=0",
		"RTreshMin|Min R Value To Hold In Account|" + slider + "0",
		"RTreshMax|Max R Value To Hold In Account|" + slider + "1",
		"GTreshMin|Min G Value To Hold In Account|" + slider + "0",
		"GTreshMax|Max G Value To Hold In Account|" + slider + "1",
		"BTreshMin|Min B Value To Hold In Account|" + slider + "0",
		"BTreshMax|Max B Value To Hold In Account|" + slider + "1",
		"Input|Input|DataType=Image,MainIndex=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(Normalizer, StretchesEachChannelOnItsOwnRange)
{
	// Red 0.2 .. 0.8; green 0.25 .. 0.75; blue 0 .. 0.5. Alpha and depth pass through.
	FltPixel first = Pixel(0.2f, 0.25f, 0.0f, 0.5f);
	first.Aux[0] = 7.0f;
	ImagePtr image = MakeImage(
		4, 1,
		[&](int x, int) {
			const FltPixel pixels[] = {first, Pixel(0.5f, 0.375f, 0.125f), Pixel(0.8f, 0.75f, 0.5f), Pixel(0.5f, 0.5f, 0.25f)};
			return pixels[x];
		},
		PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("Normalizer", {{"Input", image.get()}});
	ASSERT_TRUE(result.Output);
	// Red: (0.5 - 0.2f) / (0.8f - 0.2f) = 0.29999999702 / 0.60000000894 = 0.4999999942, 6e-9 below
	// 0.5, within half a float step (1.5e-8): 0.5f. 0.2f maps to 0 and 0.8f to 1 exactly.
	// Green: (0.375 - 0.25) / 0.5 = 0.25. Blue: 0.125 / 0.5 = 0.25.
	const float expected[4][3] = {{0.0f, 0.0f, 0.0f}, {0.5f, 0.25f, 0.25f}, {1.0f, 1.0f, 1.0f}, {0.5f, 0.5f, 0.5f}};
	for (int x = 0; x < 4; ++x)
	{
		const FltPixel out = PixelAt(*result.Output, x, 0);
		EXPECT_EQ(out.R, expected[x][0]) << x;
		EXPECT_EQ(out.G, expected[x][1]) << x;
		EXPECT_EQ(out.B, expected[x][2]) << x;
	}
	EXPECT_EQ(PixelAt(*result.Output, 0, 0).A, 0.5f);
	EXPECT_EQ(PixelAt(*result.Output, 0, 0).Aux[0], 7.0f);
	EXPECT_EQ(PixelAt(*result.Output, 1, 0).A, 1.0f);
}

TEST(Normalizer, ThresholdsKeepOutliersOutOfTheRangeWithoutClamping)
{
	// The 5.0 outlier (first, so it is met before the true maximum) is above the
	// red maximum threshold 1: the range stays 0.2 .. 0.8 and 5.0 maps to
	// (5 - 0.2f) / (0.8f - 0.2f) = 7.99999988, within half a float step (2.4e-7) of 8.
	ImagePtr outlier = Row({Pixel(5.0f, 0, 0), Pixel(0.2f, 0, 0), Pixel(0.8f, 0, 0)});
	RenderResult stretched = RunTool("Normalizer", {{"Input", outlier.get()}});
	EXPECT_EQ(PixelAt(*stretched.Output, 0, 0).R, 8.0f);
	EXPECT_EQ(PixelAt(*stretched.Output, 1, 0).R, 0.0f);
	EXPECT_EQ(PixelAt(*stretched.Output, 2, 0).R, 1.0f);

	// Red thresholds 0.375 .. 0.875: minimum 0.5, maximum 0.75, so
	// 0.25 -> (0.25 - 0.5) / 0.25 = -1 and 1.0 -> 2. Green maximum threshold
	// -1: no value is at most -1, the maximum keeps its start 0, which is
	// above the threshold, so green becomes 0.
	ImagePtr image = Row({Pixel(0.25f, 0.2f, 0), Pixel(0.5f, 0.4f, 0), Pixel(0.75f, 0.6f, 0), Pixel(1.0f, 0.8f, 0)});
	RenderResult narrowed = RunTool("Normalizer", {{"Input", image.get()}},
	                                {{"RTreshMin", 0.375}, {"RTreshMax", 0.875}, {"GTreshMax", -1.0}});
	const float red[] = {-1.0f, 0.0f, 1.0f, 2.0f};
	for (int x = 0; x < 4; ++x)
	{
		EXPECT_EQ(PixelAt(*narrowed.Output, x, 0).R, red[x]) << x;
		EXPECT_EQ(PixelAt(*narrowed.Output, x, 0).G, 0.0f) << x;
	}

	// Each test looks at one threshold only. Red thresholds 0.5 .. 0.9 with
	// values 0.25, 0.375, 1: the minimum is the smallest value >= 0.5, that is
	// 1; the maximum the largest value <= 0.9, that is 0.375, below the
	// minimum threshold. (v - 1) / (0.375 - 1): 0.25 -> -0.75 / -0.625 = 1.2,
	// 0.375 -> 1, 1 -> 0.
	ImagePtr crossed = Row({Pixel(0.25f, 0, 0), Pixel(0.375f, 0, 0), Pixel(1.0f, 0, 0)});
	RenderResult inverted = RunTool("Normalizer", {{"Input", crossed.get()}}, {{"RTreshMin", 0.5}, {"RTreshMax", 0.9}});
	EXPECT_EQ(PixelAt(*inverted.Output, 0, 0).R, 1.2f);
	EXPECT_EQ(PixelAt(*inverted.Output, 1, 0).R, 1.0f);
	EXPECT_EQ(PixelAt(*inverted.Output, 2, 0).R, 0.0f);
}

TEST(Normalizer, CommonRangeOnlyForExactlyOne)
{
	// Red 0.2 .. 0.8, green 0.4 .. 0.6, blue 0.1 .. 0.5: common range 0.1 .. 0.8.
	ImagePtr image = Row({Pixel(0.2f, 0.4f, 0.1f), Pixel(0.8f, 0.45f, 0.5f), Pixel(0.5f, 0.6f, 0.3f)});

	RenderResult common = RunTool("Normalizer", {{"Input", image.get()}}, {{"Lum", 1.0}});
	EXPECT_EQ(PixelAt(*common.Output, 0, 0).B, 0.0f);
	EXPECT_EQ(PixelAt(*common.Output, 1, 0).R, 1.0f);
	// (0.45f - 0.1f) / (0.8f - 0.1f) = 0.34999998659 / 0.70000001043 = 0.49999997339: nearer the
	// float below 0.5 (0.49999997020) than 0.5, so the double quotient is narrowed once.
	EXPECT_EQ(PixelAt(*common.Output, 1, 0).G, std::nextafter(0.5f, 0.0f));

	// 0.5 (set by a script) is not "on": each channel is stretched on its own.
	for (double lum : {0.0, 0.5})
	{
		RenderResult separate = RunTool("Normalizer", {{"Input", image.get()}}, {{"Lum", lum}});
		EXPECT_EQ(PixelAt(*separate.Output, 0, 0).G, 0.0f) << lum;
		EXPECT_EQ(PixelAt(*separate.Output, 2, 0).G, 1.0f) << lum;
		EXPECT_EQ(PixelAt(*separate.Output, 1, 0).B, 1.0f) << lum;
	}
}

TEST(Normalizer, EmptyRangesAndStartValues)
{
	// One flat colour inside the thresholds: every range is empty, so all
	// three channels become 0; alpha is kept.
	ImagePtr flat = MakeImage(3, 2, Pixel(0.3f, 0.6f, 0.9f, 0.25f));
	RenderResult zeroed = RunTool("Normalizer", {{"Input", flat.get()}});
	const FltPixel out = PixelAt(*zeroed.Output, 2, 1);
	EXPECT_EQ(out.R, 0.0f);
	EXPECT_EQ(out.G, 0.0f);
	EXPECT_EQ(out.B, 0.0f);
	EXPECT_EQ(out.A, 0.25f);

	// Red -1 everywhere reaches neither test and keeps the start values 255
	// and 0: (-1 - 255) / (0 - 255) = 256 / 255 = 1.0039216. Green 2.0
	// everywhere sets the minimum to 2 and keeps the maximum 0:
	// (2 - 2) / (0 - 2) = 0.
	ImagePtr outside = MakeImage(2, 2, Pixel(-1.0f, 2.0f, 0.5f));
	RenderResult start = RunTool("Normalizer", {{"Input", outside.get()}});
	EXPECT_EQ(PixelAt(*start.Output, 1, 1).R, static_cast<float>(256.0 / 255.0));
	EXPECT_EQ(PixelAt(*start.Output, 1, 1).G, 0.0f);
}

// The search keeps the first of equal extremes. Only zeros can be equal and
// differ, and the sign of the minimum shows in a -0 pixel: -0 - (+0) is -0,
// -0 - (-0) is +0. Both zeros are placed in the same group of four pixels,
// in different groups with the later one further left in its group, in
// different blocks of the walk, and in different spans of the threads' work,
// each in both orders.
TEST(Normalizer, FirstOfEqualZeroMinimaIsKept)
{
	const int width = 700, height = 30;
	const std::pair<int, int> placements[] = {{40, 41},   {41, 40},   {10, 13},      {13, 10},
	                                          {100, 600}, {600, 100}, {100, 20000}, {20000, 100}};
	for (auto [positive, negative] : placements)
	{
		ImagePtr image = MakeImage(width, height, [&](int x, int y) {
			const int i = y * width + x;
			const float v = i == positive ? 0.0f : i == negative ? -0.0f : 0.25f + 0.001f * (x % 300);
			return Pixel(v, v, v);
		});
		RenderResult result = RunTool("Normalizer", {{"Input", image.get()}});
		ASSERT_TRUE(result.Output);
		const float atNegative = PixelAt(*result.Output, negative % width, negative / width).R;
		EXPECT_EQ(atNegative, 0.0f);
		EXPECT_EQ(std::signbit(atNegative), positive < negative) << "+0 at " << positive << ", -0 at " << negative;
	}
}
