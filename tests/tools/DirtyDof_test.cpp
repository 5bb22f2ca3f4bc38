#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "ToolHarness.h"

// The default camera: f = 50 mm, N = 2.8, plane of focus 9.107735 m, so
// F = 9107.735 mm; c = 1.225 * 25.4 / 1500 = 0.0207433333 mm;
// (f / N) * f = 892.857143; Near = 7.5243541 m, Far = 11.5351174 m.
// b(z) = |892.857143 * (1000 z - 9107.735) / (1000 z * 9057.735)| mm and
// r(z) = b(z) / c / 2 pixels: r(0.9) = 21.67, r(1.0) = 19.26, r(1.3) = 14.27,
// r(2) = 8.44, r(5) = 1.95, r(20) = 1.29. The draws land 15 pixels left
// (reach 15), 15 rows lower (reach 15), both (reach sqrt(450) = 21.2132) or
// on the pixel itself.

namespace
{
RenderResult Blur(Image* colour, Image* depth, std::map<std::string, double> numbers = {})
{
	return RunTool("DirtyDOF", {{"Image", colour}, {"Zdepth", depth}}, numbers);
}

ImagePtr Depths(int w, int h, const std::function<float(int x, int y)>& depth)
{
	return MakeImage(w, h, [&](int x, int y) { const float z = depth(x, y); return Pixel(z, z, z, 1.0f); });
}

// A 16 x 16 frame whose pixel (15, 15) has three marked neighbours: red at
// (0, 15), 15 to its left; green at (15, 0), 15 rows lower; blue at (0, 0),
// both. Everything else is opaque black. Blurring (15, 15) then counts, in
// R, G and B times the weight, the draws that took each neighbour.
// `centreAlpha` is the alpha of (15, 15).
ImagePtr MarkedNeighbours(float centreAlpha = 1.0f)
{
	return MakeImage(16, 16, [=](int x, int y) {
		if (x == 15 && y == 15)
			return Pixel(0, 0, 0, centreAlpha);
		if (x == 0 && y == 15)
			return Pixel(1, 0, 0, 1);
		if (x == 15 && y == 0)
			return Pixel(0, 1, 0, 1);
		if (x == 0 && y == 0)
			return Pixel(0, 0, 1, 1);
		return Pixel(0, 0, 0, 1);
	});
}

// Depth `centre` at (15, 15), `neighbours` at the three marked pixels,
// `rest` elsewhere.
ImagePtr NeighbourDepths(float centre, float neighbours, float rest = 5.0f)
{
	return Depths(16, 16, [=](int x, int y) {
		if (x == 15 && y == 15)
			return centre;
		if ((x == 0 || x == 15) && (y == 0 || y == 15))
			return neighbours;
		return rest;
	});
}

// The output pixel expected when `n` draws out of `draws` bring each marked
// colour (left, lower, diagonal) to opaque black: the sums over the weight 1 + draws.
FltPixel Counted(int left, int lower, int diagonal, int draws)
{
	const double weight = 1.0 + draws;
	return Pixel(float(left / weight), float(lower / weight), float(diagonal / weight), float((1 + draws) / weight));
}

void ExpectPixel(const FltPixel& actual, const FltPixel& expected, const std::string& what)
{
	EXPECT_EQ(actual.R, expected.R) << what;
	EXPECT_EQ(actual.G, expected.G) << what;
	EXPECT_EQ(actual.B, expected.B) << what;
	EXPECT_EQ(actual.A, expected.A) << what;
}

// Where the draws of srand(50) land, from its first results 1920540202,
// 1350000510, 223544838, 2095625645, 1441971383, 1090072283, 33591551,
// 462713693, 504377689, 410880882, 925134473, 1176772723: taken in pairs
// (row, column), mod 200 div 100 minus 1 gives (-1, 0), (-1, -1), (0, -1),
// (0, -1), (-1, -1), (-1, 0).
enum Target { Lower, Diagonal, Left };
const Target FirstDraws[] = {Lower, Diagonal, Left, Left, Diagonal, Lower};
// Of the first 20 draws 3 go left, 10 lower, 6 diagonal and 1 to the pixel
// itself; of draws 21 to 40, 6, 5, 4 and 5.
}

TEST(DirtyDof, Declarations)
{
	EXPECT_EQ(Declarations("DirtyDOF"), (std::vector<std::string>{
		"DirtyDOF|Dirty Depth Of Field|Control=LabelControl,Flag0000=0,Flag0010=1",
		"DoBlur|Do Blur|DataType=Number,Control=CheckboxControl,Default=1",
		"cSamples|Circular Samples|DataType=Number,Control=SliderControl,IntegerOnly=1,RangeHigh=500,RangeLow=3,Default=20",
		"BleedThreshold|Bleed Threshold|DataType=Number,Control=SliderControl,RangeHigh=100,RangeLow=0.5,Default=7",
		"PlaneOfFocus|Plane Of Focus (m)|DataType=Number,Control=ColorControl,ControlGroup=1,ControlChannel=0,Default=9.107735",
		"FocalLength|FocalLength|DataType=Number,Control=SliderControl,RangeLow=4,RangeHigh=400,Default=50,IntegerOnly=1",
		"Fstop|Fstop|DataType=Number,Control=SliderControl,RangeLow=0,Default=2.8",
		"ApertureWidth|Aperture Width (inch)|DataType=Number,Control=SliderControl,RangeLow=0,Default=0.98",
		"ApertureHeight|Aperture Height (inch)|DataType=Number,Control=SliderControl,RangeLow=0,Default=0.735",
		"Image|Image|DataType=Image,MainIndex=1,Required=1",
		"Zdepth|Zdepth|DataType=Image,MainIndex=2,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(DirtyDof, BlurOffGivesTheBlurDiameter)
{
	// b(5) = 892.857143 * 4107.735 / (5000 * 9057.735) = 0.0809832 mm;
	// b(20) = 892.857143 * 10892.265 / (20000 * 9057.735) = 0.0536847 mm.
	// 9.107735 as a float is 9.10773468, 0.32 um short of F:
	// b = 892.857143 * 0.000320 / (9107.7347 * 9057.735) = 3.46e-9.
	// A depth of 0 divides by 0: +infinity. The mean of R, G, B is the depth:
	// (4 + 5 + 6) / 3 = 5.
	ImagePtr colour = MakeImage(5, 2, Pixel(0.3f, 0.6f, 0.9f, 1.0f));
	ImagePtr depth = MakeImage(5, 2, [](int x, int) {
		const float z[] = {5.0f, 20.0f, 9.107735f, 0.0f, 5.0f};
		return x == 4 ? Pixel(4.0f, 5.0f, 6.0f, 0.5f) : Pixel(z[x], z[x], z[x], 0.5f);
	});
	RenderResult result = Blur(colour.get(), depth.get(), {{"DoBlur", 0.0}});
	ASSERT_TRUE(result.Output);
	const double expected[] = {0.0809832, 0.0536847, 3.4615e-9, INFINITY, 0.0809832};
	const double tolerance[] = {5e-8, 5e-8, 5e-13, 0, 5e-8};
	for (int y = 0; y < 2; ++y)
		for (int x = 0; x < 5; ++x)
		{
			const FltPixel out = PixelAt(*result.Output, x, y);
			if (std::isinf(expected[x]))
				EXPECT_EQ(out.R, INFINITY) << x;
			else
				EXPECT_NEAR(out.R, expected[x], tolerance[x]) << x;
			EXPECT_EQ(out.G, out.R);
			EXPECT_EQ(out.B, out.R);
			EXPECT_EQ(out.A, out.R);
		}
}

TEST(DirtyDof, ShortBlurRadiiLeaveThePictureUnchanged)
{
	// Depths 2 to 40 have radii of 8.44 pixels or less, short of the 15 pixels
	// to every off-centre draw: each output pixel is its own colour summed 21
	// times over a weight of 21. Colours are sums of powers of two so the
	// sums stay exact.
	ImagePtr colour = MakeImage(40, 33, [](int x, int y) { return Pixel(0.25f * (x % 4), 0.5f + 0.125f * (y % 8), 0.75f, 1.0f); });
	ImagePtr depth = Depths(40, 33, [](int x, int y) { return 2.0f + ((x * 7 + y * 3) % 39); });
	RenderResult result = Blur(colour.get(), depth.get());
	EXPECT_TRUE(SameImage(*result.Output, *colour));

	// So does any "Bleed Threshold": it takes part in nothing.
	ImagePtr near = NeighbourDepths(5.0f, 0.5f);
	RenderResult standard = Blur(MarkedNeighbours().get(), near.get());
	for (double threshold : {0.5, 100.0})
	{
		RenderResult other = Blur(MarkedNeighbours().get(), near.get(), {{"BleedThreshold", threshold}});
		EXPECT_TRUE(SameImage(*standard.Output, *other.Output)) << threshold;
	}
}

TEST(DirtyDof, DrawsFollowTheSeedFiftySequence)
{
	// Depth 5 lies in front of Near (foreground pass, no depth test);
	// neighbours at 0.5 m have a radius of 40.9 pixels, so every draw takes
	// the neighbour it lands on. n draws then count the first n targets.
	ImagePtr colour = MarkedNeighbours();
	ImagePtr depth = NeighbourDepths(5.0f, 0.5f);
	int counts[3] = {0, 0, 0};
	for (int n = 1; n <= 6; ++n)
	{
		++counts[FirstDraws[n - 1]];
		RenderResult result = Blur(colour.get(), depth.get(), {{"cSamples", double(n)}});
		ExpectPixel(PixelAt(*result.Output, 15, 15), Counted(counts[Left], counts[Lower], counts[Diagonal], n),
		            "draws " + std::to_string(n));
	}
	RenderResult twenty = Blur(colour.get(), depth.get());
	ExpectPixel(PixelAt(*twenty.Output, 15, 15), Counted(3, 10, 6, 20), "20 draws");
	// "Circular Samples" is truncated: 6.9 makes 6 draws.
	RenderResult truncated = Blur(colour.get(), depth.get(), {{"cSamples", 6.9}});
	ExpectPixel(PixelAt(*truncated.Output, 15, 15), Counted(2, 2, 2, 6), "6.9 draws");
}

TEST(DirtyDof, ASecondPassContinuesTheSequence)
{
	// Plane of focus 50 m lies beyond the hyperfocal distance: Far is stored
	// as 0 and Near = 23.14 m, so a pixel at 5 m runs the foreground pass and
	// then the background pass. Neighbours at 0.5 m (radius 42.7 pixels at
	// this focus) are nearer, so both passes take every draw: draws 1 to 40
	// bring 3 + 6 left, 10 + 5 lower and 6 + 4 diagonal over a weight of 41.
	ImagePtr colour = MarkedNeighbours();
	ImagePtr depth = NeighbourDepths(5.0f, 0.5f);
	RenderResult result = Blur(colour.get(), depth.get(), {{"PlaneOfFocus", 50.0}});
	ExpectPixel(PixelAt(*result.Output, 15, 15), Counted(9, 15, 10, 40), "two passes");
	// One draw per pass: the first two targets, lower then diagonal.
	RenderResult one = Blur(colour.get(), depth.get(), {{"PlaneOfFocus", 50.0}, {"cSamples", 1.0}});
	ExpectPixel(PixelAt(*one.Output, 15, 15), Counted(0, 1, 1, 2), "one draw per pass");
	// A depth of 0 is not behind a far limit of 0: the foreground pass alone.
	RenderResult zero = Blur(colour.get(), NeighbourDepths(0.0f, 0.5f).get(), {{"PlaneOfFocus", 50.0}});
	ExpectPixel(PixelAt(*zero.Output, 15, 15), Counted(3, 10, 6, 20), "depth 0");
}

TEST(DirtyDof, ForegroundReachIsTheNeighboursOwnRadius)
{
	// The neighbour's radius decides, against 15 pixels for the left and lower
	// draws and 21.2132 for the diagonal ones; the pixel's own radius does
	// not (depths 5 and 7 both lie in front of Near).
	ImagePtr colour = MarkedNeighbours();
	for (float centre : {5.0f, 7.0f})
	{
		const std::string at = " with the pixel at " + std::to_string(centre);
		// r(0.9) = 21.67: all three reach.
		RenderResult all = Blur(colour.get(), NeighbourDepths(centre, 0.9f).get());
		ExpectPixel(PixelAt(*all.Output, 15, 15), Counted(3, 10, 6, 20), "0.9" + at);
		// r(1.0) = 19.26: left and lower reach, the diagonal does not.
		RenderResult sides = Blur(colour.get(), NeighbourDepths(centre, 1.0f).get());
		ExpectPixel(PixelAt(*sides.Output, 15, 15), Counted(3, 10, 0, 20), "1.0" + at);
		// r(1.3) = 14.27: none reach.
		RenderResult none = Blur(colour.get(), NeighbourDepths(centre, 1.3f).get());
		ExpectPixel(PixelAt(*none.Output, 15, 15), Counted(0, 0, 0, 20), "1.3" + at);
	}
}

TEST(DirtyDof, OnlyNearerNeighboursBleedIntoFocusAndBackground)
{
	// Plane of focus 1 m: Near = 0.978 m, Far = 1.023 m; r(1000) = 22.63
	// and r(0.5) = 22.65 pixels, both reaching all three neighbours.
	ImagePtr colour = MarkedNeighbours();
	const std::map<std::string, double> focus1m = {{"PlaneOfFocus", 1.0}};
	// In focus (1.0): farther neighbours are never taken, nearer ones are.
	RenderResult farther = Blur(colour.get(), NeighbourDepths(1.0f, 1000.0f).get(), focus1m);
	ExpectPixel(PixelAt(*farther.Output, 15, 15), Counted(0, 0, 0, 20), "in focus, farther");
	RenderResult nearer = Blur(colour.get(), NeighbourDepths(1.0f, 0.5f).get(), focus1m);
	ExpectPixel(PixelAt(*nearer.Output, 15, 15), Counted(3, 10, 6, 20), "in focus, nearer");
	// Behind (2.0): the same.
	RenderResult behindFarther = Blur(colour.get(), NeighbourDepths(2.0f, 1000.0f).get(), focus1m);
	ExpectPixel(PixelAt(*behindFarther.Output, 15, 15), Counted(0, 0, 0, 20), "behind, farther");
	RenderResult behindNearer = Blur(colour.get(), NeighbourDepths(2.0f, 0.5f).get(), focus1m);
	ExpectPixel(PixelAt(*behindNearer.Output, 15, 15), Counted(3, 10, 6, 20), "behind, nearer");
	// In front (0.5): any neighbour that reaches, farther ones included.
	RenderResult front = Blur(colour.get(), NeighbourDepths(0.5f, 1000.0f).get(), focus1m);
	ExpectPixel(PixelAt(*front.Output, 15, 15), Counted(3, 10, 6, 20), "in front, farther");
}

TEST(DirtyDof, WeightCountsPositiveAlphaOnly)
{
	// Radii too short to take any draw (depth 20). A transparent pixel keeps
	// the undivided sum of 21 copies of its colour; one of alpha 0.5 is
	// divided by 21 * 0.5. A depth that is NaN runs no pass: the pixel is
	// its own colour over its own alpha.
	ImagePtr colour = MakeImage(3, 1, [](int x, int) {
		return x == 0 ? Pixel(0.5f, 0.25f, 1.0f, 0.0f) : Pixel(1.0f, 0.5f, 0.25f, 0.5f);
	});
	ImagePtr depth = Depths(3, 1, [](int x, int) { return x == 2 ? NAN : 20.0f; });
	RenderResult result = Blur(colour.get(), depth.get());
	ExpectPixel(PixelAt(*result.Output, 0, 0), Pixel(10.5f, 5.25f, 21.0f, 0.0f), "transparent");
	ExpectPixel(PixelAt(*result.Output, 1, 0), Pixel(2.0f, 1.0f, 0.5f, 1.0f), "half alpha");
	ExpectPixel(PixelAt(*result.Output, 2, 0), Pixel(2.0f, 1.0f, 0.5f, 1.0f), "NaN depth");

	// The weight starts at the pixel's own alpha even when negative, and
	// draws add only positive alphas. Black at alpha -1 with all three
	// neighbours taken: 19 of 20 draws bring alpha 1, the one on the pixel
	// itself -1. Weight -1 + 19 = 18; alpha sum -1 + 19 - 1 = 17.
	RenderResult negative = Blur(MarkedNeighbours(-1.0f).get(), NeighbourDepths(5.0f, 0.5f).get());
	ExpectPixel(PixelAt(*negative.Output, 15, 15), Pixel(float(3 / 18.0), float(10 / 18.0), float(6 / 18.0), float(17 / 18.0)),
	            "negative alpha");
}

TEST(DirtyDof, SameOutputForAnyThreadCountAndEveryRender)
{
	// Depths 0.5 to 20 in a pattern, so that rows mix every pass and many
	// draws are taken; colours vary per pixel.
	ImagePtr colour = MakeImage(61, 47, [](int x, int y) {
		return Pixel(0.01f * x, 0.02f * y, 0.5f + 0.003f * (x ^ y), (x + y) % 5 == 0 ? 0.0f : 1.0f);
	});
	ImagePtr depth = Depths(61, 47, [](int x, int y) { return 0.5f + float((x * 13 + y * 29) % 40) * 0.5f; });

	// The process-wide generator is neither seeded nor advanced by a render.
	std::srand(7);
	const int first = std::rand(), second = std::rand();
	std::srand(7);
	EXPECT_EQ(std::rand(), first);

	SetThreadCount(1);
	RenderResult serial = Blur(colour.get(), depth.get());
	for (int threads : {2, 3, 7})
	{
		SetThreadCount(threads);
		RenderResult parallel = Blur(colour.get(), depth.get());
		RenderResult again = Blur(colour.get(), depth.get());
		EXPECT_TRUE(SameImage(*serial.Output, *parallel.Output)) << threads << " threads";
		EXPECT_TRUE(SameImage(*serial.Output, *again.Output)) << threads << " threads";
	}
	SetThreadCount(0);
	EXPECT_EQ(std::rand(), second);
	EXPECT_FALSE(SameImage(*serial.Output, *colour));
}

TEST(DirtyDof, DepthSmallerThanTheImageGivesNoOutput)
{
	ImagePtr colour = MakeImage(8, 6, Pixel(1, 1, 1));
	EXPECT_FALSE(Blur(colour.get(), Depths(7, 6, [](int, int) { return 5.0f; }).get()).Output);
	EXPECT_FALSE(Blur(colour.get(), Depths(8, 5, [](int, int) { return 5.0f; }).get()).Output);
	// A larger depth pass is read over the image's own width and height.
	ImagePtr larger = Depths(9, 7, [](int x, int y) { return x < 8 && y < 6 ? 5.0f : 0.5f; });
	RenderResult result = Blur(colour.get(), larger.get());
	ASSERT_TRUE(result.Output);
	EXPECT_EQ(result.Output->Width, 8);
	EXPECT_TRUE(SameImage(*result.Output, *colour));
}
