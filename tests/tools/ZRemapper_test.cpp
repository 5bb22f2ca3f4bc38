#include <gtest/gtest.h>

#include <cmath>

#include "ToolHarness.h"
#include "DepthOfFieldDeclarations.h"

// The default camera: f = 50 mm, plane of focus 9.107735 m, film back
// 0.98 x 0.735 in, f/2.8. c = sqrt(0.98^2 + 0.735^2) * 25.4 / 1500
// = 1.225 * 25.4 / 1500 = 0.0207433333 mm; K = 50^2 / (2.8 * c) = 43043.089 mm;
// Near = K * 9.107735 / (K + 9107.735 - 50) = 7.5243541 m;
// Far = K * 9.107735 / (K - 9057.735) = 11.5351174 m.

TEST(ZRemapper, Declarations)
{
	EXPECT_EQ(Declarations("ZRemapper"),
	          DepthOfFieldDeclarations({"SceneScale|Scene Scale|DataType=Number,Control=SliderControl,Default=1"},
	                                   "Control=ColorControl,ControlGroup=1,ControlChannel=0",
	                                   "Calculated DoF Output (not multiplied by scene scale)"));
}

TEST(ZRemapper, ReadoutsOfTheDefaultCamera)
{
	ImagePtr image = MakeImage(1, 1, Pixel(1, 1, 1));
	RenderResult result = RunTool("ZRemapper", {{"Input", image.get()}});
	std::vector<std::string> ids;
	for (const auto& [id, value] : result.Readouts)
		ids.push_back(id);
	EXPECT_EQ(ids, (std::vector<std::string>{"FrameAspect", "CoC", "HyperFocal", "DoFN", "DoFF", "DoFT"}));
	EXPECT_NEAR(Readout(result, "FrameAspect"), 1.3333333, 1e-7);
	EXPECT_NEAR(Readout(result, "CoC"), 0.02074333, 1e-8);
	EXPECT_NEAR(Readout(result, "HyperFocal"), 43.043089, 1e-6);
	EXPECT_NEAR(Readout(result, "DoFN"), 7.5243541, 1e-7);
	EXPECT_NEAR(Readout(result, "DoFF"), 11.5351174, 1e-7);
	EXPECT_NEAR(Readout(result, "DoFT"), 4.0107633, 1e-7);
}

TEST(ZRemapper, RemapsDepthsOutsideTheZoneOfFocus)
{
	// Row 0: depths 5, 9, 12, 20 and -5 in R, G and B; alpha and an
	// auxiliary channel pass through.
	const float depths[] = {5.0f, 9.0f, 12.0f, 20.0f, -5.0f};
	ImagePtr image = MakeImage(5, 1, [&](int x, int) {
		FltPixel p = Pixel(depths[x], depths[x], depths[x], 0.25f);
		p.Aux[0] = 3.0f;
		return p;
	}, PixelFormat::Float, {"Z"});
	RenderResult result = RunTool("ZRemapper", {{"Input", image.get()}});
	ASSERT_TRUE(result.Output);
	// In front: ((P - 5) + Near) - P = 7.5243541 - 5 = 2.5243541.
	// In the zone (Near <= 9 <= Far): 0.
	// Behind: ((12 + P) - Far) - P = 12 - 11.5351174 = 0.4648826; 20 gives 8.4648826.
	// -5 reads as 5.
	const float expected[] = {2.5243541f, 0.0f, 0.4648826f, 8.4648826f, 2.5243541f};
	for (int x = 0; x < 5; ++x)
	{
		const FltPixel out = PixelAt(*result.Output, x, 0);
		EXPECT_NEAR(out.R, expected[x], 5e-7) << x;
		EXPECT_EQ(out.G, out.R) << x;
		EXPECT_EQ(out.B, out.R) << x;
		EXPECT_EQ(out.A, 0.25f) << x;
		EXPECT_EQ(out.Aux[0], 3.0f) << x;
	}
}

TEST(ZRemapper, ZoneIsChosenByRedAlone)
{
	// R = 5 is in front, so G and B take the near formula too:
	// G: 7.5243541 - 0 = 7.5243541, B: 7.5243541 - 12 = -4.4756459.
	ImagePtr image = MakeImage(1, 1, Pixel(5.0f, 0.0f, 12.0f));
	RenderResult result = RunTool("ZRemapper", {{"Input", image.get()}});
	const FltPixel out = PixelAt(*result.Output, 0, 0);
	EXPECT_NEAR(out.R, 2.5243541f, 5e-7);
	EXPECT_NEAR(out.G, 7.5243541f, 5e-7);
	EXPECT_NEAR(out.B, -4.4756459f, 5e-7);
}

TEST(ZRemapper, SceneScaleDividesPlaneAndDepths)
{
	// Halving is exact in binary: 18.21547 / 2 is the double 9.107735 and
	// |2v / 2| is v, so both renders agree bit for bit.
	ImagePtr metres = MakeImage(4, 3, [](int x, int y) { return Pixel(3.0f + 4.1f * x, 6.5f + y, 17.0f, 1.0f); });
	ImagePtr doubled = MakeImage(4, 3, [](int x, int y) {
		const FltPixel m = Pixel(3.0f + 4.1f * x, 6.5f + y, 17.0f, 1.0f);
		return Pixel(2 * m.R, 2 * m.G, 2 * m.B, 1.0f);
	});
	RenderResult unscaled = RunTool("ZRemapper", {{"Input", metres.get()}});
	RenderResult scaled =
		RunTool("ZRemapper", {{"Input", doubled.get()}}, {{"SceneScale", 2.0}, {"PlaneOfFocus", 18.21547}});
	EXPECT_TRUE(SameImage(*unscaled.Output, *scaled.Output));
	EXPECT_EQ(unscaled.Readouts, scaled.Readouts);

	// A negative scale or plane of focus reads as its absolute value.
	RenderResult negative =
		RunTool("ZRemapper", {{"Input", doubled.get()}}, {{"SceneScale", -2.0}, {"PlaneOfFocus", 18.21547}});
	EXPECT_TRUE(SameImage(*unscaled.Output, *negative.Output));
}

TEST(ZRemapper, FocusBeyondHyperfocalZeroesEverythingBehindIt)
{
	// Plane 50 m: K - (50000 - 50) < 0, so Far < 0: shown far and total are 0,
	// and every pixel behind the plane is 0. Near = K * 50 / (K + 49950)
	// = 23.1431655 m; a depth of 10 becomes 23.1431655 - 10 = 13.1431655.
	ImagePtr image = MakeImage(3, 1, [](int x, int) {
		const float depth[] = {10.0f, 30.0f, 1000.0f};
		return Pixel(depth[x], depth[x], depth[x]);
	});
	RenderResult result = RunTool("ZRemapper", {{"Input", image.get()}}, {{"PlaneOfFocus", 50.0}});
	EXPECT_NEAR(Readout(result, "DoFN"), 23.1431655, 1e-7);
	EXPECT_EQ(Readout(result, "DoFF"), 0.0);
	EXPECT_EQ(Readout(result, "DoFT"), 0.0);
	EXPECT_NEAR(PixelAt(*result.Output, 0, 0).R, 13.1431655f, 1e-6);
	EXPECT_EQ(PixelAt(*result.Output, 1, 0).R, 0.0f);
	EXPECT_EQ(PixelAt(*result.Output, 2, 0).R, 0.0f);
}

TEST(ZRemapper, KeepsTheGroupingOfTheNearFormula)
{
	// ((P - d) + Near) - P, not Near - d: at P = 1e17 m the doubles are 16
	// apart. Near = K * 1e17 / (K + 1e20 - 50) = 43.043089. For d = 5:
	// P - 5 rounds to P, P + 43.04 to P + 48, so 48. For d = 20: P - 20 rounds
	// to P - 16, plus 43.04 is P + 27.04, rounding to P + 32, so 32.
	ImagePtr image = MakeImage(2, 1, [](int x, int) { return x == 0 ? Pixel(5, 5, 5) : Pixel(20, 20, 20); });
	RenderResult result = RunTool("ZRemapper", {{"Input", image.get()}}, {{"PlaneOfFocus", 1e17}});
	EXPECT_EQ(PixelAt(*result.Output, 0, 0).R, 48.0f);
	EXPECT_EQ(PixelAt(*result.Output, 1, 0).R, 32.0f);
}

TEST(ZRemapper, NotANumberDepthTakesTheNearFormula)
{
	// d = NaN is not > P, not > Near: the near formula gives NaN in R; G and
	// B still follow it on their own values (7.5243541 - 1 = 6.5243541).
	ImagePtr image = MakeImage(1, 1, Pixel(NAN, 1.0f, 1.0f));
	const FltPixel out = PixelAt(*RunTool("ZRemapper", {{"Input", image.get()}}).Output, 0, 0);
	EXPECT_TRUE(std::isnan(out.R));
	EXPECT_NEAR(out.G, 6.5243541f, 5e-7);
}
