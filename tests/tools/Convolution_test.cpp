#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "ToolHarness.h"

namespace
{
const std::map<std::string, double> Exact = {{"Sampling", 0.0}};
const std::map<std::string, double> Fast = {{"Sampling", 1.0}};

RenderResult Convolve(Image* source, Image* kernel, const std::map<std::string, double>& numbers)
{
	return RunTool("Convolution", {{"Image", source}, {"Kernel", kernel}}, numbers);
}

void ExpectPixel(const Image& image, int x, int y, float r, float g, float b, float a)
{
	const FltPixel p = PixelAt(image, x, y);
	EXPECT_EQ(p.R, r) << "at " << x << ", " << y;
	EXPECT_EQ(p.G, g) << "at " << x << ", " << y;
	EXPECT_EQ(p.B, b) << "at " << x << ", " << y;
	EXPECT_EQ(p.A, a) << "at " << x << ", " << y;
}
}

TEST(Convolution, Declarations)
{
	EXPECT_EQ(Declarations("Convolution"), (std::vector<std::string>{
		"ConvFilter|Convolution image filter|Control=LabelControl,Flag0000=0,Flag0010=1",
		"Sampling|Use Fast Sampling|DataType=Number,Control=CheckboxControl,Default=1",
		"Samples|Samples|DataType=Number,Control=SliderControl,IntegerOnly=1,RangeHigh=2500,RangeLow=50,Default=250",
		"Image|Image|DataType=Image,MainIndex=1,Required=1",
		"Kernel|Kernel|DataType=Image,MainIndex=2,Required=1",
		"Output|Output|DataType=Image,MainIndex=1",
	}));
}

TEST(Convolution, ExactWindowLiesAboveAndRightOfThePixel)
{
	// Source red x + 10 y, green 2, blue 0, alpha 1: integer sums stay exact in float.
	ImagePtr source = MakeImage(4, 4, [](int x, int y) { return Pixel(x + 10.0f * y, 2.0f, 0.0f, 1.0f); });

	// A 1 x 1 kernel (1, 1, 1, 1) shifts the picture down one row: output (x, y)
	// is source (x, y + 1); the top row reads itself (the edge repeats). Fast
	// mode takes tap (0, 0) 250 times: 250 * v / 250 = v for these small integers.
	ImagePtr one = MakeImage(1, 1, Pixel(1, 1, 1, 1));
	for (const auto& mode : {Exact, Fast})
	{
		RenderResult shifted = Convolve(source.get(), one.get(), mode);
		ASSERT_TRUE(shifted.Output);
		for (int y = 0; y < 4; ++y)
			for (int x = 0; x < 4; ++x)
				ExpectPixel(*shifted.Output, x, y, x + 10.0f * std::min(y + 1, 3), 2.0f, 0.0f, 1.0f);
	}

	// 3 x 3 of ones: the mean over columns x .. x + 2 and rows y + 1 .. y + 3,
	// edges repeated. (0, 0): 3 * (0 + 1 + 2) + 3 * 10 * (1 + 2 + 3) = 189, / 9 = 21.
	// (2, 0): columns 2, 3, 3: 3 * 8 + 180 = 204, / 9. (1, 2): rows 3, 3, 3:
	// 3 * (1 + 2 + 3) + 9 * 30 = 288, / 9 = 32. (3, 3): 9 * 33 / 9 = 33.
	ImagePtr box = MakeImage(3, 3, Pixel(1, 1, 1, 1));
	RenderResult mean = Convolve(source.get(), box.get(), Exact);
	ExpectPixel(*mean.Output, 0, 0, 21.0f, 2.0f, 0.0f, 1.0f);
	ExpectPixel(*mean.Output, 2, 0, static_cast<float>(204.0 / 9.0), 2.0f, 0.0f, 1.0f);
	ExpectPixel(*mean.Output, 1, 2, 32.0f, 2.0f, 0.0f, 1.0f);
	ExpectPixel(*mean.Output, 3, 3, 33.0f, 2.0f, 0.0f, 1.0f);

	// Kernel row 0 is the farthest: a 1 x 2 kernel whose row 0 is (1, 1, 1, 1)
	// and row 1 is 0 reads only source row y + 2 (clamped to 3).
	ImagePtr column = MakeImage(1, 2, [](int, int y) { return y == 0 ? Pixel(1, 1, 1, 1) : Pixel(0, 0, 0, 0); });
	RenderResult farthest = Convolve(source.get(), column.get(), Exact);
	ExpectPixel(*farthest.Output, 1, 0, 21.0f, 2.0f, 0.0f, 1.0f);
	ExpectPixel(*farthest.Output, 1, 1, 31.0f, 2.0f, 0.0f, 1.0f);
	ExpectPixel(*farthest.Output, 1, 3, 31.0f, 2.0f, 0.0f, 1.0f);
}

TEST(Convolution, ExactWorkHasAHardLimitFastModeDoesNot)
{
	// 10^6 kernel pixels over 10^6 frame pixels is the limit of 10^12: one
	// more frame row is 1.001 times it. A refusal comes before any work.
	ImagePtr kernel = MakeImage(1000, 1000, Pixel(1, 1, 1, 1));
	const struct
	{
		int Width, Height;
		const char* Message;
	} beyond[] = {
		{1000, 1001, "Convolution: the exact filter's kernel pixels × frame pixels is 1000000 × 1001000 = "
		             "1.001e+12, 1.001 times its hard limit of 1e+12"},
		{3000, 1000, "Convolution: the exact filter's kernel pixels × frame pixels is 1000000 × 3000000 = "
		             "3e+12, 3 times its hard limit of 1e+12"},
	};
	for (const auto& frame : beyond)
	{
		ImagePtr source = MakeImage(frame.Width, frame.Height, Pixel(0.5f, 0.5f, 0.5f));
		try
		{
			Convolve(source.get(), kernel.get(), Exact);
			ADD_FAILURE() << "rendered";
		}
		catch (const HostError& e)
		{
			EXPECT_EQ(e.Kind, ErrorKind::Render);
			EXPECT_STREQ(e.what(), frame.Message);
		}
	}
	ImagePtr source = MakeImage(1000, 1001, Pixel(0.5f, 0.5f, 0.5f));
	EXPECT_NE(Convolve(source.get(), kernel.get(), Fast).Output, nullptr) << "fast mode's samples are bounded instead";
}

TEST(Convolution, KernelChannelsWeightTheirOwnChannel)
{
	ImagePtr source = MakeImage(3, 3, [](int x, int y) { return Pixel(x + 3.0f * y, 5.0f, 7.0f, 0.5f); });

	// (1, 0, 0, 1) everywhere: red and alpha are averaged over the window,
	// green and blue vanish; every pixel adds 1 to the weight. 2 x 2 at (0, 0):
	// red (3 + 4 + 6 + 7) / 4 = 5, alpha 4 * 0.5 / 4 = 0.5.
	ImagePtr redAlpha = MakeImage(2, 2, Pixel(1, 0, 0, 1));
	RenderResult red = Convolve(source.get(), redAlpha.get(), Exact);
	ExpectPixel(*red.Output, 0, 0, 5.0f, 0.0f, 0.0f, 0.5f);

	// Negative alpha weights colours but not the weight sum: kernel
	// (1, 1, 1, 1), (1, 1, 1, -1) in a row: weight 1; at (0, 0) red 3 + 4 = 7,
	// green 10, blue 14, alpha 0.5 - 0.5 = 0.
	ImagePtr negative = MakeImage(2, 1, [](int x, int) { return Pixel(1, 1, 1, x == 0 ? 1.0f : -1.0f); });
	RenderResult weighted = Convolve(source.get(), negative.get(), Exact);
	ExpectPixel(*weighted.Output, 0, 0, 7.0f, 10.0f, 14.0f, 0.0f);
}

TEST(Convolution, SumsInSinglePrecisionRowByRowOfTheKernel)
{
	// A 2 x 2 kernel of ones at (0, 0) takes, in order, source (0, 2), (1, 2)
	// (kernel row 0), then (0, 1), (1, 1). With 1e8, 1, -1e8, 0.5 there, float
	// sums give ((1e8 + 1) - 1e8) + 0.5 = 0.5 (1e8 + 1 rounds to 1e8), so red
	// is 0.5 / 4; column by column, or in double, it would be 1.5 / 4.
	ImagePtr source = MakeImage(2, 3, [](int x, int y) {
		const float red[3][2] = {{0, 0}, {-1e8f, 0.5f}, {1e8f, 1.0f}};
		return Pixel(red[y][x], 0, 0, 1);
	});
	ImagePtr box = MakeImage(2, 2, Pixel(1, 1, 1, 1));
	RenderResult result = Convolve(source.get(), box.get(), Exact);
	EXPECT_EQ(PixelAt(*result.Output, 0, 0).R, 0.125f);
}

TEST(Convolution, KernelWithoutPositiveAlphaGivesNonFiniteChannels)
{
	// Weight sum 0: red 2 / 0 = inf, green -1 / 0 = -inf, blue 0 / 0 and alpha
	// 1 * 0 / 0 are not a number. Intended: nothing guards the division.
	ImagePtr source = MakeImage(2, 2, Pixel(2, -1, 0, 1));
	ImagePtr clear = MakeImage(1, 1, Pixel(1, 1, 1, 0));
	for (const auto& mode : {Exact, Fast})
	{
		RenderResult result = Convolve(source.get(), clear.get(), mode);
		const FltPixel p = PixelAt(*result.Output, 1, 0);
		EXPECT_EQ(p.R, INFINITY);
		EXPECT_EQ(p.G, -INFINITY);
		EXPECT_TRUE(std::isnan(p.B));
		EXPECT_TRUE(std::isnan(p.A));
	}

	// An empty kernel has nothing to draw from: no tap, 0 / 0 everywhere, in
	// either mode (fast mode used to take r mod 0).
	ImagePtr empty = MakeImage(0, 3, Pixel(1, 1, 1, 1));
	for (const auto& mode : {Exact, Fast})
	{
		RenderResult result = Convolve(source.get(), empty.get(), mode);
		ASSERT_TRUE(result.Output);
		EXPECT_TRUE(std::isnan(PixelAt(*result.Output, 0, 0).R));
	}

	// Samples that are no count take no sample; a huge one is bounded.
	ImagePtr one = MakeImage(1, 1, Pixel(1, 1, 1, 1));
	for (double samples : {std::nan(""), -1e300, 0.5})
	{
		RenderResult none = Convolve(source.get(), one.get(), {{"Sampling", 1.0}, {"Samples", samples}});
		EXPECT_TRUE(std::isnan(PixelAt(*none.Output, 0, 0).R)) << samples;
	}
	RenderResult many = Convolve(source.get(), one.get(), {{"Sampling", 1.0}, {"Samples", 1e300}});
	ExpectPixel(*many.Output, 0, 0, 2.0f, -1.0f, 0.0f, 1.0f);
}

TEST(Convolution, FastModeTakesTheSameTapsAtEveryPixel)
{
	// A 3 x 1 kernel of ones over a source whose red is 1 in column 3 only:
	// with n0, n1, n2 the counts of kx = 0, 1, 2 among the 50 draws that
	// srand(50) and rand() give (ky, then kx, per tap), output red is n0 / 50
	// at column 3, n1 / 50 at 2, n2 / 50 at 1 and 0 elsewhere, in every row.
	std::srand(50);
	int counts[3] = {};
	for (int i = 0; i < 50; ++i)
	{
		std::rand();
		++counts[std::rand() % 3];
	}
	ASSERT_EQ(counts[0] + counts[1] + counts[2], 50);

	ImagePtr source = MakeImage(6, 3, [](int x, int) { return Pixel(x == 3 ? 1.0f : 0.0f, 0, 0, 1); });
	ImagePtr kernel = MakeImage(3, 1, Pixel(1, 1, 1, 1));
	// The process-wide generator is left alone.
	std::srand(123);
	const int first = std::rand();
	std::srand(123);
	RenderResult result = Convolve(source.get(), kernel.get(), {{"Sampling", 1.0}, {"Samples", 50.0}});
	EXPECT_EQ(std::rand(), first);

	const float expected[6] = {0.0f, static_cast<float>(counts[2] / 50.0), static_cast<float>(counts[1] / 50.0),
	                           static_cast<float>(counts[0] / 50.0), 0.0f, 0.0f};
	for (int y = 0; y < 3; ++y)
		for (int x = 0; x < 6; ++x)
			ExpectPixel(*result.Output, x, y, expected[x], 0.0f, 0.0f, 1.0f);
}

TEST(Convolution, FastModeIsTheSameForAnyThreadCountAndRender)
{
	ImagePtr source = MakeImage(61, 47, [](int x, int y) {
		return Pixel(std::sin(x * 0.3f) + y * 0.01f, std::cos(y * 0.2f), 0.1f * x, 1.0f);
	});
	ImagePtr kernel = MakeImage(7, 5, [](int x, int y) { return Pixel(0.1f * x, 0.2f * y, 1.0f, x == y ? 0.0f : 0.5f); });
	const std::map<std::string, double> fast = {{"Sampling", 1.0}, {"Samples", 300.0}};

	SetThreadCount(1);
	RenderResult rowByRow = Convolve(source.get(), kernel.get(), fast);
	ASSERT_TRUE(rowByRow.Output);
	for (int threads : {2, 3, 7})
	{
		SetThreadCount(threads);
		RenderResult first = Convolve(source.get(), kernel.get(), fast);
		RenderResult second = Convolve(source.get(), kernel.get(), fast);
		ASSERT_TRUE(first.Output && second.Output);
		EXPECT_TRUE(SameImage(*rowByRow.Output, *first.Output)) << threads << " threads";
		EXPECT_TRUE(SameImage(*first.Output, *second.Output)) << threads << " threads";
	}
	SetThreadCount(0);
}

TEST(Convolution, SourcesOfAnyStorageReadTheSame)
{
	// A byte image (0 or 255 for 0 or 1) and a float image with a depth
	// channel, each shifted down a row by the 1 x 1 kernel; the output keeps
	// the source's format and channels, with the extra channel 0.
	ImagePtr one = MakeImage(1, 1, Pixel(1, 1, 1, 1));
	ImagePtr bytes = MakeImage(2, 2, [](int x, int y) { return Pixel(float(x), float(y), 1.0f, 1.0f); }, PixelFormat::UInt8);
	RenderResult fromBytes = Convolve(bytes.get(), one.get(), Exact);
	EXPECT_EQ(fromBytes.Output->Format(), PixelFormat::UInt8);
	ExpectPixel(*fromBytes.Output, 1, 0, 1.0f, 1.0f, 1.0f, 1.0f);
	ExpectPixel(*fromBytes.Output, 0, 1, 0.0f, 1.0f, 1.0f, 1.0f);

	ImagePtr withDepth = MakeImage(
		2, 2,
		[](int x, int y) {
			FltPixel p = Pixel(x + 0.5f, y + 0.25f, 3.0f, 1.0f);
			p.Aux[0] = 9.0f;
			return p;
		},
		PixelFormat::Float, {"Z"});
	RenderResult fromDepth = Convolve(withDepth.get(), one.get(), Exact);
	ASSERT_EQ(fromDepth.Output->AuxChannels(), std::vector<std::string>{"Z"});
	ExpectPixel(*fromDepth.Output, 1, 0, 1.5f, 1.25f, 3.0f, 1.0f);
	EXPECT_EQ(PixelAt(*fromDepth.Output, 1, 0).Aux[0], 0.0f);
}
