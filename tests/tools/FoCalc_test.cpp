#include <gtest/gtest.h>

#include <cmath>

#include "ToolHarness.h"
#include "DepthOfFieldDeclarations.h"

namespace
{
// `expected` is `actual` rounded to the decimals it is written with.
void ExpectRounded(double actual, double expected, int decimals)
{
	EXPECT_NEAR(actual, expected, 0.5 * std::pow(10.0, -decimals)) << "expected " << expected;
}
}

TEST(FoCalc, Declarations)
{
	EXPECT_EQ(Declarations("FoCalc"),
	          DepthOfFieldDeclarations({}, "Control=SliderControl,RangeLow=0", "Calculated DoF Output"));
}

TEST(FoCalc, ReadoutsOfTheDefaultCamera)
{
	ImagePtr image = MakeImage(2, 2, Pixel(1, 2, 3));
	RenderResult result = RunTool("FoCalc", {{"Input", image.get()}});
	// Written in this order, once each.
	std::vector<std::string> ids;
	for (const auto& [id, value] : result.Readouts)
		ids.push_back(id);
	EXPECT_EQ(ids, (std::vector<std::string>{"FrameAspect", "CoC", "HyperFocal", "DoFN", "DoFF", "DoFT"}));
	ExpectRounded(Readout(result, "FrameAspect"), 1.3333333333, 10);
	ExpectRounded(Readout(result, "CoC"), 0.0207433333, 10);
	ExpectRounded(Readout(result, "HyperFocal"), 43.043089, 6);
	ExpectRounded(Readout(result, "DoFN"), 7.5243541, 7);
	ExpectRounded(Readout(result, "DoFF"), 11.5351174, 7);
	ExpectRounded(Readout(result, "DoFT"), 4.0107633, 7);
}

TEST(FoCalc, FocusBeyondHyperfocalShowsZeroFarAndTotal)
{
	ImagePtr image = MakeImage(1, 1, Pixel(0, 0, 0));
	for (double plane : {50.0, -50.0})
	{
		RenderResult result = RunTool("FoCalc", {{"Input", image.get()}}, {{"PlaneOfFocus", plane}});
		ExpectRounded(Readout(result, "DoFN"), 23.143166, 6);
		EXPECT_EQ(Readout(result, "DoFF"), 0.0);
		EXPECT_EQ(Readout(result, "DoFT"), 0.0);
	}
	// A negative focus distance reads as its absolute value.
	RenderResult negative = RunTool("FoCalc", {{"Input", image.get()}}, {{"PlaneOfFocus", -9.107735}});
	ExpectRounded(Readout(negative, "DoFN"), 7.5243541, 7);
	ExpectRounded(Readout(negative, "DoFF"), 11.5351174, 7);
}

TEST(FoCalc, DegenerateFilmBackFollowsIeeeArithmetic)
{
	ImagePtr image = MakeImage(1, 1, Pixel(0, 0, 0));
	RenderResult noHeight = RunTool("FoCalc", {{"Input", image.get()}}, {{"ApertureHeight", 0.0}});
	EXPECT_EQ(Readout(noHeight, "FrameAspect"), INFINITY);
	EXPECT_DOUBLE_EQ(Readout(noHeight, "CoC"), 0.98 * 25.4 / 1500);

	RenderResult noFilm = RunTool("FoCalc", {{"Input", image.get()}}, {{"ApertureHeight", 0.0}, {"ApertureWidth", 0.0}});
	EXPECT_TRUE(std::isnan(Readout(noFilm, "FrameAspect")));
	EXPECT_EQ(Readout(noFilm, "HyperFocal"), INFINITY);
}

TEST(FoCalc, OutputEqualsInputInEveryFormat)
{
	for (PixelFormat format : {PixelFormat::Float, PixelFormat::Half, PixelFormat::UInt16, PixelFormat::UInt8})
	{
		ImagePtr image = MakeImage(
			5, 3, [](int x, int y) { return Pixel(x * 0.1f, y * 0.2f, -1.5f, 0.5f); }, format);
		RenderResult result = RunTool("FoCalc", {{"Input", image.get()}});
		ASSERT_TRUE(result.Output);
		EXPECT_NE(result.Output, image.get());
		EXPECT_TRUE(SameImage(*result.Output, *image)) << PixelFormatName(format);
	}
	ImagePtr withDepth = MakeImage(
		2, 2, [](int x, int) { FltPixel p = Pixel(1, 1, 1); p.Aux[0] = float(x); return p; }, PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("FoCalc", {{"Input", withDepth.get()}});
	EXPECT_TRUE(SameImage(*result.Output, *withDepth));
}
