#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>

#include "ToolHarness.h"

namespace
{
// Normal (0, 0, 1) encoded as the pass stores it: c × 2 - 1 = (0, 0, 1).
const FltPixel Facing = Pixel(0.5f, 0.5f, 1.0f);

// A pass with a depth of 2^-13 at its centre pixel (a radius of 819200
// pixels: every sample leaves the centre and lands on an edge pixel) and the
// position (0, 0, 3 + 2^-13) everywhere else: each sample of the centre sees
// diff = (0, 0, 3), straight along its normal, at distance 3.
const float CentreDepth = 1.0f / 8192.0f;
ImagePtr RaisedSurround()
{
	return MakeImage(3, 3, [](int x, int y) {
		return x == 1 && y == 1 ? Pixel(0, 0, CentreDepth) : Pixel(0, 0, 3.0f + CentreDepth);
	});
}

// Occlusion at the centre of RaisedSurround, seen straight down its normal.
float CentreOcclusion(const std::map<std::string, double>& numbers)
{
	ImagePtr normals = MakeImage(3, 3, Facing), positions = RaisedSurround();
	RenderResult result = RunTool("SSAO", {{"Normals", normals.get()}, {"Position", positions.get()}}, numbers);
	const FltPixel p = PixelAt(*result.Output, 1, 1);
	EXPECT_TRUE(p.G == p.R && p.B == p.R && p.A == p.R);
	return p.R;
}

// A bumpy surface with mixed normals: occlusion in many places.
FltPixel BumpyPosition(int x, int y)
{
	return Pixel(0.1f * x, 0.1f * y, 6.0f + 2.0f * std::sin(0.7f * x) * std::cos(0.5f * y));
}
FltPixel BumpyNormal(int x, int y)
{
	return Pixel(0.5f + 0.4f * std::cos(0.7f * x), 0.5f - 0.3f * std::sin(0.5f * y), 0.9f);
}

// Position (x, y, 5) where x + y is even and (x, y, 4) where odd: the same
// surroundings, exactly, for every pixel of one parity away from the edges,
// so that their results differ only by where their random directions send
// the samples.
FltPixel Checker(int x, int y)
{
	return Pixel(float(x), float(y), (x + y) % 2 == 0 ? 5.0f : 4.0f);
}

RenderResult Render(Image* normals, Image* positions, const std::map<std::string, double>& numbers = {})
{
	return RunTool("SSAO", {{"Normals", normals}, {"Position", positions}}, numbers);
}

RenderResult RenderWithThreads(int threads, Image* normals, Image* positions)
{
	SetThreadCount(threads);
	RenderResult result = Render(normals, positions);
	SetThreadCount(0);
	return result;
}

bool AllRgbaEqual(const Image& image, float value)
{
	for (int y = 0; y < image.Height; ++y)
		for (int x = 0; x < image.Width; ++x)
		{
			const FltPixel p = PixelAt(image, x, y);
			if (p.R != value || p.G != value || p.B != value || p.A != value)
				return false;
		}
	return true;
}
}

TEST(SSAO, Declarations)
{
	const std::string slider = "DataType=Number,Control=SliderControl,";
	EXPECT_EQ(Declarations("SSAO"), (std::vector<std::string>{
		"SSAO|Screen Space Ambient Occlusion|Control=LabelControl,Flag0000=0,Flag0010=1",
		"SampleRad|Sample Radius|" + slider + "Default=100",
		"Intensity|Intensity|" + slider + "Default=1",
		"Scale|Scale|" + slider + "Default=1",
		"Bias|Bias|" + slider + "Default=0",
		"Quality|Quality|" + slider + "IntegerOnly=1,RangeHigh=16,RangeLow=1,Default=1",
		"Normals|Normals|DataType=Image,MainIndex=1,Required=1",
		"Position|Position|DataType=Image,MainIndex=2,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(SSAO, EachSampleWeighsOneOverOnePlusScaledDistance)
{
	// t = (0, 0, 1) · (0, 0, 1) - bias; d = 3 × scale; every one of the 16
	// samples adds max(t, 0) / (1 + d) × intensity, and the sum is divided by 16.
	EXPECT_EQ(CentreOcclusion({}), 0.25f);                              // 1 / 4
	EXPECT_EQ(CentreOcclusion({{"Scale", 0.0}}), 1.0f);                 // 1 / 1
	EXPECT_NEAR(CentreOcclusion({{"Scale", 3.0}}), 0.1, 1e-6);          // 1 / 10
	EXPECT_EQ(CentreOcclusion({{"Intensity", 2.0}}), 0.5f);             // linear in intensity
	EXPECT_EQ(CentreOcclusion({{"Bias", 0.5}}), 0.125f);                // 0.5 / 4
	EXPECT_EQ(CentreOcclusion({{"Bias", 2.0}}), 0.0f);                  // t = -1
	EXPECT_EQ(CentreOcclusion({{"Bias", -1.0}, {"Scale", 0.0}}), 2.0f);  // t = 2
}

TEST(SSAO, QualityAddsPassesAndDividesByThem)
{
	// Quality 2: 8 passes of 4 samples, each still 0.25: 8 / 32.
	EXPECT_EQ(CentreOcclusion({{"Quality", 2.0}}), 0.25f);
	EXPECT_EQ(CentreOcclusion({{"Quality", 16.0}}), 0.25f);
	// Below 1 (and NaN) counts as 1, where no pass would divide 0 by 0.
	for (double quality : {0.0, 0.5, -3.0, double(NAN)})
		EXPECT_EQ(CentreOcclusion({{"Quality", quality}}), 0.25f) << quality;

	ImagePtr normals = MakeImage(80, 80, Facing), positions = MakeImage(80, 80, Checker);
	auto render = [&](double quality) { return Render(normals.get(), positions.get(), {{"Bias", -0.5}, {"Quality", quality}}); };
	RenderResult one = render(1.0), below = render(0.25), two = render(2.0), truncated = render(2.9);
	EXPECT_TRUE(SameImage(*one.Output, *below.Output));
	EXPECT_TRUE(SameImage(*two.Output, *truncated.Output));
	// Passes 5 to 8 take the four directions turned by 45°, not the same four
	// again (which would average to the quality-1 result).
	int changed = 0;
	for (int y = 0; y < 80; ++y)
		for (int x = 0; x < 80; ++x)
			changed += std::fabs(PixelAt(*two.Output, x, y).R - PixelAt(*one.Output, x, y).R) > 1e-3f;
	EXPECT_GT(changed, 80 * 80 / 4);
}

TEST(SSAO, FlatSurfaceFacingTheCameraIsOpen)
{
	// Every diff lies in the plane z = 10: v · (0, 0, 1) = 0, never above a bias of 0 or more.
	ImagePtr normals = MakeImage(9, 7, Facing);
	ImagePtr positions = MakeImage(9, 7, [](int x, int y) { return Pixel(0.3f * x, -0.2f * y, 10.0f); });
	for (double bias : {0.0, 0.3})
		EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get(), {{"Bias", bias}}).Output, 0.0f)) << bias;
}

TEST(SSAO, BiasTwoAndIntensityZeroRemoveAllOcclusion)
{
	ImagePtr normals = MakeImage(23, 17, BumpyNormal), positions = MakeImage(23, 17, BumpyPosition);
	RenderResult plain = Render(normals.get(), positions.get());
	int occluded = 0;
	for (int y = 0; y < 17; ++y)
		for (int x = 0; x < 23; ++x)
			occluded += PixelAt(*plain.Output, x, y).R > 0.0f;
	EXPECT_GT(occluded, 23 * 17 / 4) << "the scene must occlude for this test to mean anything";

	EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get(), {{"Bias", 2.0}}).Output, 0.0f));
	EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get(), {{"Intensity", 0.0}}).Output, 0.0f));
	EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get(), {{"Intensity", 0.0}, {"Scale", 0.0}}).Output, 0.0f));
}

TEST(SSAO, RadiusInPixelsShrinksWithDepth)
{
	// One row: pixels 0 to 10 at (0, 0, D), pixels 11 on at (0, 0, D - 1).
	// With bias -0.5, a sample landing on pixels 0 to 10 gives diff = 0 and
	// adds 0.5; one landing beyond 10 adds nothing (t = -1 + 0.5).
	auto occlusionAtPixel0 = [](float depth) {
		ImagePtr normals = MakeImage(30, 1, Facing);
		ImagePtr positions = MakeImage(30, 1, [=](int x, int) { return Pixel(0, 0, x <= 10 ? depth : depth - 1.0f); });
		return PixelAt(*Render(normals.get(), positions.get(), {{"Bias", -0.5}}).Output, 0, 0).R;
	};
	// Radius 100 at depth 10 is 10 pixels: every sample stays within pixels 0 to 10.
	EXPECT_EQ(occlusionAtPixel0(10.0f), 0.5f);
	EXPECT_EQ(occlusionAtPixel0(1000.0f), 0.5f);
	// At depth 5 it is 20 pixels: of the four perpendicular directions of a
	// pass, one points within 45° of +x, so some samples land beyond pixel 10.
	EXPECT_LT(occlusionAtPixel0(5.0f), 0.5f);
}

TEST(SSAO, DepthAtOrNearZeroSaturatesSamplePositions)
{
	// Depth 0 makes the radius infinite (and 0 × ∞ NaN); tiny depths push
	// samples far beyond any pixel. They land on edge pixels, which here hold
	// the same position: diff = 0, so each sample adds max(0, -bias).
	for (float depth : {0.0f, -0.0f, 1e-30f, -1e-30f, 1e-45f})
	{
		ImagePtr normals = MakeImage(5, 4, Facing);
		ImagePtr positions = MakeImage(5, 4, Pixel(1, 2, depth));
		EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get()).Output, 0.0f)) << depth;
		EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get(), {{"Bias", -0.5}}).Output, 0.5f)) << depth;
	}
	ImagePtr normals = MakeImage(5, 4, Facing);
	ImagePtr positions = MakeImage(5, 4, Pixel(1, 2, 0));
	EXPECT_TRUE(AllRgbaEqual(*Render(normals.get(), positions.get(), {{"SampleRad", 0.0}, {"Bias", -0.5}}).Output, 0.5f));
}

TEST(SSAO, AuxiliaryChannelsOfTheNormalPassRideAlong)
{
	ImagePtr normals = MakeImage(4, 3, [](int x, int y) {
		FltPixel p = BumpyNormal(x, y);
		p.Aux[0] = 100.0f + x;
		p.Aux[1] = -float(y);
		return p;
	}, PixelFormat::Float, {"Z", "ID"});
	ImagePtr positions = MakeImage(4, 3, BumpyPosition);
	RenderResult result = Render(normals.get(), positions.get());
	ASSERT_EQ(result.Output->AuxChannels(), (std::vector<std::string>{"Z", "ID"}));
	for (int y = 0; y < 3; ++y)
		for (int x = 0; x < 4; ++x)
		{
			const FltPixel p = PixelAt(*result.Output, x, y);
			EXPECT_EQ(p.Aux[0], 100.0f + x);
			EXPECT_EQ(p.Aux[1], -float(y));
			EXPECT_TRUE(p.G == p.R && p.B == p.R && p.A == p.R);
		}
}

TEST(SSAO, NoiseIsFixedToThePixel)
{
	ImagePtr normals = MakeImage(41, 37, BumpyNormal), positions = MakeImage(41, 37, BumpyPosition);

	// The same image for any number of threads and on every render, and the
	// process-wide generator is left alone.
	std::srand(99);
	const int first = std::rand();
	std::srand(99);
	RenderResult one = RenderWithThreads(1, normals.get(), positions.get());
	EXPECT_EQ(std::rand(), first) << "the tool drew from rand()";
	for (int threads : {2, 3, 7, 1})
	{
		RenderResult again = RenderWithThreads(threads, normals.get(), positions.get());
		EXPECT_TRUE(SameImage(*one.Output, *again.Output)) << threads << " threads";
	}
	ToolSession session(Tool("SSAO"));
	session.Connect("Normals", normals.get());
	session.Connect("Position", positions.get());
	RenderResult firstRender = session.Render(), secondRender = session.Render();
	EXPECT_TRUE(SameImage(*firstRender.Output, *secondRender.Output));
	EXPECT_TRUE(SameImage(*firstRender.Output, *one.Output));
}

TEST(SSAO, NoiseVariesFromPixelToPixelAndFollowsThePosition)
{
	// On the checkerboard, pixels of one parity well inside the frame see the
	// same surroundings; only their random directions tell them apart.
	auto render = [](int size) {
		ImagePtr normals = MakeImage(size, size, Facing), positions = MakeImage(size, size, Checker);
		return Render(normals.get(), positions.get(), {{"Bias", -0.5}});
	};
	RenderResult small = render(80), large = render(91);
	std::set<float> values;
	for (int y = 26; y < 54; ++y)
		for (int x = 26 + y % 2; x < 54; x += 2)
		{
			values.insert(PixelAt(*small.Output, x, y).R);
			// The draws come from the pixel's position, not its place in the
			// frame's memory: a wider frame gives the same value.
			EXPECT_EQ(PixelAt(*small.Output, x, y).R, PixelAt(*large.Output, x, y).R) << x << "," << y;
		}
	EXPECT_GT(values.size(), 20u);
}
