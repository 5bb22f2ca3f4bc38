// qz end to end for the UV positioner, the UV unwrapper and the convolution
// filter.
#include <gtest/gtest.h>

#include "QzFixture.h"

namespace
{
void ExpectPixel(const FltPixel& p, float r, float g, float b, float a)
{
	EXPECT_EQ(p.R, r);
	EXPECT_EQ(p.G, g);
	EXPECT_EQ(p.B, b);
	EXPECT_EQ(p.A, a);
}
}

TEST_F(Qz, RunUVpositionerMapsTheTextureThroughTheUVPass)
{
	// depth.exr (6 x 4) is the texture. UV (0.5, 0.25) reads column 3, row 1:
	// (5, 5, 8, 1). UV (1.0, 0.5) at alpha 0.5 wraps from column 6 to 0, row 2:
	// (2, 6, 8, 1) halved.
	ImagePtr uv = MakeImage(2, 1, [](int x, int) { return x == 0 ? Pixel(0.5f, 0.25f, 0, 1) : Pixel(1.0f, 0.5f, 0, 0.5f); });
	WriteImageFile(*uv, Path("uv.exr"));
	QzRun run = Run({"run", "UVpositioner", "-i", "Image=" + Path("depth.exr"), "-i", "UV=" + Path("uv.exr"), "-s",
	                 "SampleMode=Wrap", "-o", Path("mapped.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr out(ReadImageFile(Path("mapped.exr")));
	ASSERT_EQ(out->Width, 2);
	ASSERT_EQ(out->Height, 1);
	ExpectPixel(PixelAt(*out, 0, 0), 5, 5, 8, 1);
	ExpectPixel(PixelAt(*out, 1, 0), 1, 3, 4, 0.5f);
}

TEST_F(Qz, RunUVunwrapScattersThePixelsBack)
{
	// UV ((x + 0.5) / 6, (y + 0.5) / 4) flipped in x sends pixel (x, y) to
	// column 5 - x. With the 2 x 2 blocks the later pixel's block covers the
	// column to the right: (0, 0) comes from (5, 0) = (7, 4, 8, 1), (3, 2) from
	// (3, 2) = (5, 6, 8, 1).
	ImagePtr uv = MakeImage(6, 4, [](int x, int y) { return Pixel((x + 0.5f) / 6.0f, (y + 0.5f) / 4.0f, 0, 1); });
	WriteImageFile(*uv, Path("uv.exr"));
	QzRun run = Run({"run", "UVunwrap", "-i", "Image=" + Path("depth.exr"), "-i", "UV=" + Path("uv.exr"), "-s",
	                 "Flipx=1", "-s", "Interpolate pixel setting=1", "-o", Path("unwrapped.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr out(ReadImageFile(Path("unwrapped.exr")));
	ExpectPixel(PixelAt(*out, 0, 0), 7, 4, 8, 1);
	ExpectPixel(PixelAt(*out, 3, 2), 5, 6, 8, 1);
}

TEST_F(Qz, RunConvolutionFiltersWithTheKernelImage)
{
	// A 2 x 2 kernel of ones: the mean over columns x, x + 1 and rows y + 1,
	// y + 2. (0, 0): red (2 + 3) / 2 = 2.5, green (5 + 6) / 2 = 5.5; (5, 3)
	// repeats the top-right pixel (7, 7, 8, 1).
	ImagePtr kernel = MakeImage(2, 2, Pixel(1, 1, 1, 1));
	WriteImageFile(*kernel, Path("kernel.exr"));
	const std::string image = "Image=" + Path("depth.exr"), kernelInput = "Kernel=" + Path("kernel.exr");
	QzRun exact = Run({"run", "Convolution", "-i", image, "-i", kernelInput, "-s", "Sampling=0", "-o", Path("exact.exr")});
	ASSERT_EQ(exact.Status, 0) << exact.Err;
	ImagePtr out(ReadImageFile(Path("exact.exr")));
	ExpectPixel(PixelAt(*out, 0, 0), 2.5f, 5.5f, 8, 1);
	ExpectPixel(PixelAt(*out, 5, 3), 7, 7, 8, 1);

	// Fast mode gives the same file on one thread and on four.
	QzRun one = Run({"run", "Convolution", "-i", image, "-i", kernelInput, "--threads", "1", "-o", Path("fast1.exr")});
	QzRun four = Run({"run", "Convolution", "-i", image, "-i", kernelInput, "--threads", "4", "-o", Path("fast4.exr")});
	ASSERT_EQ(one.Status, 0) << one.Err;
	ASSERT_EQ(four.Status, 0) << four.Err;
	ImagePtr fast1(ReadImageFile(Path("fast1.exr"))), fast4(ReadImageFile(Path("fast4.exr")));
	EXPECT_TRUE(SameImage(*fast1, *fast4));
}
