#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ToolHarness.h"

namespace
{
// A 4 x 2 texture whose pixel (x, y) is (x + 1, y + 1, 0.5, 1): never black.
ImagePtr Texture()
{
	return MakeImage(4, 2, [](int x, int y) { return Pixel(x + 1.0f, y + 1.0f, 0.5f, 1.0f); });
}

// What one UV pixel (u, v, alpha) reads from the texture.
FltPixel Place(float u, float v, const std::string& mode, const std::map<std::string, double>& numbers = {},
               float alpha = 1.0f)
{
	ImagePtr texture = Texture();
	ImagePtr uv = MakeImage(1, 1, Pixel(u, v, 0.0f, alpha));
	RenderResult result =
		RunTool("UVpositioner", {{"Image", texture.get()}, {"UV", uv.get()}}, numbers, {{"SampleMode", mode}});
	EXPECT_TRUE(result.Output);
	return result.Output ? PixelAt(*result.Output, 0, 0) : FltPixel();
}

// Expects the texture pixel (x, y), or black for x < 0.
void ExpectTexel(const FltPixel& p, int x, int y)
{
	if (x < 0)
	{
		EXPECT_EQ(p.R, 0.0f);
		EXPECT_EQ(p.G, 0.0f);
		EXPECT_EQ(p.B, 0.0f);
		EXPECT_EQ(p.A, 0.0f);
		return;
	}
	EXPECT_EQ(p.R, x + 1.0f);
	EXPECT_EQ(p.G, y + 1.0f);
	EXPECT_EQ(p.B, 0.5f);
	EXPECT_EQ(p.A, 1.0f);
}

constexpr int Black = -1;
const float Nan = std::numeric_limits<float>::quiet_NaN(), Inf = std::numeric_limits<float>::infinity();
}

TEST(UVpositioner, Declarations)
{
	const std::string checkbox = "DataType=Number,Control=CheckboxControl,Default=0";
	const std::string offset = "DataType=Number,Control=SliderControl,Default=0,RangeHigh=1,RangeLow=-1";
	const std::string scale = "DataType=Number,Control=SliderControl,Default=1,RangeLow=0";
	EXPECT_EQ(Declarations("UVpositioner"), (std::vector<std::string>{
		"UVunwrap|Position image by UV|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Swap|Swap UV|" + checkbox,
		"Flipx|Flip X|" + checkbox,
		"Flipy|Flip Y|" + checkbox,
		"SampleMode|Sample Mode|DataType=FuID,Control=MultiButtonIDControl,ButtonText=Black,ButtonText=Wrap,"
		"ButtonText=Duplicate,ButtonFlag=1,DefaultId=Black",
		"Xoffset|X Offset|" + offset,
		"Yoffset|Y Offset|" + offset,
		"Uscale|U Scale|" + scale,
		"Vscale|V Scale|" + scale,
		"Image|Image|DataType=Image,MainIndex=2,Required=1",
		"UV|UV|DataType=Image,MainIndex=1,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(UVpositioner, SampleModesDecideBeyondTheEdges)
{
	// u = 1.0 is column 4 = width, one beyond the last; v = 0.25 is row 0.5 -> 0.
	ExpectTexel(Place(1.0f, 0.25f, "Black"), Black, 0);
	ExpectTexel(Place(1.0f, 0.25f, "Wrap"), 0, 0);
	ExpectTexel(Place(1.0f, 0.25f, "Duplicate"), 3, 0);
	// v = 1.0 is row 2 = height; u = 0.25 is column 1.
	ExpectTexel(Place(0.25f, 1.0f, "Black"), Black, 0);
	ExpectTexel(Place(0.25f, 1.0f, "Wrap"), 1, 0);
	ExpectTexel(Place(0.25f, 1.0f, "Duplicate"), 1, 1);
	// Truncation goes toward zero: u = -0.125 is column -0.5, still column 0;
	// u = -0.25 = -1 / width is column -1, left of the texture.
	ExpectTexel(Place(-0.125f, 0.0f, "Black"), 0, 0);
	ExpectTexel(Place(-0.25f, 0.0f, "Black"), Black, 0);
	ExpectTexel(Place(-0.25f, 0.0f, "Wrap"), 3, 0);
	ExpectTexel(Place(-0.25f, 0.0f, "Duplicate"), 0, 0);
	// A choice that is none of the buttons reads nothing.
	ExpectTexel(Place(0.25f, 0.25f, "Mirror"), Black, 0);
}

TEST(UVpositioner, SwapFlipOffsetAndScale)
{
	// (0.25, 0.75): u 1 px, v 1.5 px; swapped u = 0.75 (3 px), v = 0.25 (0.5 px).
	ExpectTexel(Place(0.25f, 0.75f, "Black"), 1, 1);
	ExpectTexel(Place(0.25f, 0.75f, "Black", {{"Swap", 1.0}}), 3, 0);
	// Flipped: 1 - 0.25 = 0.75 of the width (column 3) and of the height (row 1.5 -> 1).
	ExpectTexel(Place(0.25f, 0.0f, "Black", {{"Flipx", 1.0}}), 3, 0);
	ExpectTexel(Place(0.0f, 0.25f, "Black", {{"Flipy", 1.0}}), 0, 1);
	// ((1 - 0.25) + 0.25) * 0.5 * 4 = 2; ((1 - 0.25) - 0.5) * 2 * 2 = 1.
	ExpectTexel(Place(0.25f, 0.25f, "Black",
	                  {{"Flipx", 1.0}, {"Xoffset", 0.25}, {"Uscale", 0.5}, {"Flipy", 1.0}, {"Yoffset", -0.5}, {"Vscale", 2.0}}),
	            2, 1);
	// The scale scales the offset: (0 + 0.5) * 2 = 1.0 of the width, column 4.
	ExpectTexel(Place(0.0f, 0.0f, "Black", {{"Xoffset", 0.5}, {"Uscale", 2.0}}), Black, 0);
	ExpectTexel(Place(0.0f, 0.0f, "Duplicate", {{"Xoffset", 0.5}, {"Uscale", 2.0}}), 3, 0);
}

TEST(UVpositioner, AlphaWeightsTheTextureAndTheUVPassShapesTheOutput)
{
	// Texel (2, 1) = (3, 2, 0.5, 1) at alpha 0.5: every channel halved.
	const FltPixel half = Place(0.5f, 0.5f, "Black", {}, 0.5f);
	EXPECT_EQ(half.R, 1.5f);
	EXPECT_EQ(half.G, 1.0f);
	EXPECT_EQ(half.B, 0.25f);
	EXPECT_EQ(half.A, 0.5f);
	// Alpha 0 reads nothing, whatever the mode.
	ExpectTexel(Place(0.5f, 0.5f, "Duplicate", {}, 0.0f), Black, 0);

	// A 3 x 5 sixteen-bit UV pass over the 4 x 2 texture gives a 3 x 5
	// sixteen-bit output.
	ImagePtr texture = Texture();
	ImagePtr uv = MakeImage(3, 5, Pixel(0.5f, 0.5f, 0.0f, 1.0f), PixelFormat::UInt16);
	RenderResult result = RunTool("UVpositioner", {{"Image", texture.get()}, {"UV", uv.get()}});
	ASSERT_TRUE(result.Output);
	EXPECT_EQ(result.Output->Width, 3);
	EXPECT_EQ(result.Output->Height, 5);
	EXPECT_EQ(result.Output->Format(), PixelFormat::UInt16);
}

TEST(UVpositioner, PositionsBeyondAnyPixelAreOutside)
{
	// Not a number: Black reads black, the others pixel 0 of that axis.
	ExpectTexel(Place(Nan, 0.75f, "Black"), Black, 0);
	ExpectTexel(Place(Nan, 0.75f, "Wrap"), 0, 1);
	ExpectTexel(Place(0.75f, Nan, "Duplicate"), 3, 0);
	// Infinite: beyond the edge; wrapped, pixel 0.
	ExpectTexel(Place(Inf, 0.0f, "Black"), Black, 0);
	ExpectTexel(Place(Inf, 0.0f, "Duplicate"), 3, 0);
	ExpectTexel(Place(-Inf, 0.0f, "Duplicate"), 0, 0);
	ExpectTexel(Place(0.0f, Inf, "Wrap"), 0, 0);
	// Column 40001 (u = 10000.25) lies beyond what 16.16 holds: it still wraps
	// to 40001 mod 4 = 1, and -40001 to 3.
	ExpectTexel(Place(10000.25f, 0.0f, "Wrap"), 1, 0);
	ExpectTexel(Place(-10000.25f, 0.0f, "Wrap"), 3, 0);
	ExpectTexel(Place(10000.25f, 0.0f, "Black"), Black, 0);
	ExpectTexel(Place(-10000.25f, 0.0f, "Duplicate"), 0, 0);
	// A huge scale as well: 0.5 * 1e300 * 4 is beyond the last column.
	ExpectTexel(Place(0.5f, 0.0f, "Duplicate", {{"Uscale", 1e300}}), 3, 0);
	ExpectTexel(Place(0.5f, 0.0f, "Black", {{"Uscale", 1e300}}), Black, 0);
}
