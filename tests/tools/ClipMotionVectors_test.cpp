#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "ToolHarness.h"

namespace
{
// Runs the clipper on one row of pixels and returns the output row.
std::vector<FltPixel> Clip(const std::vector<FltPixel>& pixels, const std::map<std::string, double>& numbers,
                           const std::string& mode = "Clip")
{
	ImagePtr image = MakeImage(static_cast<int>(pixels.size()), 1, [&](int x, int) { return pixels[x]; });
	RenderResult result = RunTool("ClipMotionVectors", {{"Image", image.get()}}, numbers, {{"ClipMode", mode}});
	std::vector<FltPixel> out;
	if (result.Output)
		for (int x = 0; x < result.Output->Width; ++x)
			out.push_back(PixelAt(*result.Output, x, 0));
	return out;
}

void ExpectVector(const FltPixel& p, float r, float g, float b, float a = 1.0f)
{
	EXPECT_EQ(p.R, r);
	EXPECT_EQ(p.G, g);
	EXPECT_EQ(p.B, b);
	EXPECT_EQ(p.A, a);
}
}

TEST(ClipMotionVectors, Declarations)
{
	EXPECT_EQ(Declarations("ClipMotionVectors"), (std::vector<std::string>{
		"ClipMotionVectors|Clip Motion Vectors|Control=LabelControl,Flag0000=0,Flag0010=1",
		"MaxLenght|Max Vector Length|DataType=Number,Control=SliderControl,RangeLow=0,RangeHighAlt=250,Default=50",
		"ClipMode|Clip Mode|DataType=FuID,Control=MultiButtonIDControl,ButtonText=Clip,ButtonText=Devide,"
		"ButtonText=Disable,ButtonFlag=1,DefaultId=Clip",
		"AddMult|Additional Multiplier|DataType=Number,Control=SliderControl,RangeLow=0,Default=1",
		"Image|Image|DataType=Image,MainIndex=1,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(ClipMotionVectors, LongVectorsInEveryMode)
{
	// (60, 80, 0) has length sqrtf(3600 + 6400) = 100; (3, 4, 0) has length 5.
	const std::vector<FltPixel> in = {Pixel(60, 80, 0), Pixel(3, 4, 0), Pixel(-60, 80, 0, 0.5f)};

	// Defaults (50, "Clip", 1): 60 / 100 * 50 = 30, 80 / 100 * 50 = 40.
	std::vector<FltPixel> clipped = Clip(in, {});
	ExpectVector(clipped[0], 30, 40, 0);
	ExpectVector(clipped[1], 3, 4, 0);
	ExpectVector(clipped[2], -30, 40, 0, 0.5f);

	// Multiplier 2: length 50 * 2, so (60, 80, 0) comes back; (3, 4, 0) is not doubled.
	std::vector<FltPixel> doubled = Clip(in, {{"AddMult", 2.0}});
	ExpectVector(doubled[0], 60, 80, 0);
	ExpectVector(doubled[1], 3, 4, 0);

	// Devide: 60 / 100 * 1 = 0.6 (in double, narrowed once), 80 / 100 = 0.8.
	std::vector<FltPixel> unit = Clip(in, {}, "Devide");
	ExpectVector(unit[0], 0.6f, 0.8f, 0);
	ExpectVector(unit[1], 3, 4, 0);
	ExpectVector(unit[2], -0.6f, 0.8f, 0, 0.5f);
	// Multiplier 3: 0.6 * 3 = 1.7999999999999998 and 0.8 * 3 = 2.4000000000000004
	// in double, narrowed to 1.8f and 2.4f.
	ExpectVector(Clip(in, {{"AddMult", 3.0}}, "Devide")[0], 1.8f, 2.4f, 0);

	// Disable zeroes the vector and keeps alpha.
	std::vector<FltPixel> disabled = Clip(in, {}, "Disable");
	ExpectVector(disabled[0], 0, 0, 0);
	ExpectVector(disabled[1], 3, 4, 0);
	ExpectVector(disabled[2], 0, 0, 0, 0.5f);

	// A choice that is none of the buttons leaves every pixel as it is.
	ExpectVector(Clip(in, {}, "Squash")[0], 60, 80, 0);

	// Blue is the z component: (2, 3, 6) has length 7; clipped to 3.5:
	// 2 / 7 * 3.5 = 1, 3 / 7 * 3.5 = 1.5, 6 / 7 * 3.5 = 3.
	ExpectVector(Clip({Pixel(2, 3, 6)}, {{"MaxLenght", 3.5}})[0], 1.0f, 1.5f, 3.0f);
}

TEST(ClipMotionVectors, BoundaryLengthIsProcessed)
{
	// (30, 40, 0) is exactly 50 long: not shorter than the maximum.
	const std::vector<FltPixel> in = {Pixel(30, 40, 0)};
	ExpectVector(Clip(in, {})[0], 30, 40, 0);
	ExpectVector(Clip(in, {{"AddMult", 2.0}})[0], 60, 80, 0);
	ExpectVector(Clip(in, {}, "Disable")[0], 0, 0, 0);

	// The length is taken in single precision: (1, 1, 0) is sqrtf(2) =
	// 1.41421353816986 long, below sqrt(2) = 1.41421356237310 in double.
	ExpectVector(Clip({Pixel(1, 1, 0)}, {{"MaxLenght", std::sqrt(2.0)}}, "Disable")[0], 1, 1, 0);
	ExpectVector(Clip({Pixel(1, 1, 0)}, {{"MaxLenght", double(std::sqrt(2.0f))}}, "Disable")[0], 0, 0, 0);
}

TEST(ClipMotionVectors, ZeroMaximumKeepsZeroVectorsZero)
{
	// With max length 0 every vector is processed; a zero vector has no
	// direction and stays zero instead of becoming 0 / 0.
	const std::vector<FltPixel> in = {Pixel(0, 0, 0, 0.5f), Pixel(60, 80, 0)};
	for (const char* mode : {"Clip", "Devide", "Disable"})
	{
		SCOPED_TRACE(mode);
		std::vector<FltPixel> out = Clip(in, {{"MaxLenght", 0.0}}, mode);
		ExpectVector(out[0], 0, 0, 0, 0.5f);
	}
	// Other vectors are clipped to length 0 or set to unit length.
	ExpectVector(Clip(in, {{"MaxLenght", 0.0}})[1], 0, 0, 0);
	ExpectVector(Clip(in, {{"MaxLenght", 0.0}}, "Devide")[1], 0.6f, 0.8f, 0);

	// A vector whose length is NaN is processed too: Disable clears it.
	const float nan = std::numeric_limits<float>::quiet_NaN();
	ExpectVector(Clip({Pixel(nan, 1, 0)}, {}, "Disable")[0], 0, 0, 0);
}

TEST(ClipMotionVectors, OtherChannelsPassThrough)
{
	FltPixel in = Pixel(60, 80, 0, 0.25f);
	in.Aux[0] = 9.0f;
	ImagePtr image = MakeImage(3, 2, [&](int, int) { return in; }, PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("ClipMotionVectors", {{"Image", image.get()}});
	const FltPixel out = PixelAt(*result.Output, 2, 1);
	ExpectVector(out, 30, 40, 0, 0.25f);
	EXPECT_EQ(out.Aux[0], 9.0f);
}
