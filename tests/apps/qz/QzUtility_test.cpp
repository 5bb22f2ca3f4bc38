// qz end to end for the normalizer, the motion vector clipper, the stereo
// switch and the wireless link.
#include <gtest/gtest.h>

#include <cmath>

#include "QzFixture.h"

TEST_F(Qz, RunNormalizerStretchesEachChannel)
{
	// depth.exr: red 2 .. 7, green 4 .. 7, blue 8 everywhere. With the maximum
	// thresholds raised to 100, red maps by (v - 2) / 5, green by (v - 4) / 3
	// and the flat blue becomes 0.
	QzRun run = Run({"run", "Normalizer", "-i", "Input=" + Path("depth.exr"), "-s", "RTreshMax=100", "-s",
	                 "GTreshMax=100", "-s", "BTreshMax=100", "-o", Path("n.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr out(ReadImageFile(Path("n.exr")));
	const FltPixel p = PixelAt(*out, 2, 1);  // (4, 5, 8)
	EXPECT_EQ(p.R, 0.4f);
	EXPECT_EQ(p.G, 1.0f / 3.0f);
	EXPECT_EQ(p.B, 0.0f);
	EXPECT_EQ(p.A, 1.0f);
	EXPECT_EQ(PixelAt(*out, 5, 3).R, 1.0f);
}

TEST_F(Qz, RunClipMotionVectorsDisablesLongVectors)
{
	QzRun run = Run({"run", "ClipMotionVectors", "-i", "Image=" + Path("depth.exr"), "-s", "MaxLenght=9.5", "-s",
	                 "ClipMode=Disable", "-o", Path("c.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr out(ReadImageFile(Path("c.exr")));
	// (2, 4, 8) is sqrt(84) = 9.17 long and stays; (4, 4, 8) is sqrt(96) = 9.80 long and is zeroed.
	const FltPixel kept = PixelAt(*out, 0, 0), zeroed = PixelAt(*out, 2, 0);
	EXPECT_EQ(kept.R, 2.0f);
	EXPECT_EQ(kept.G, 4.0f);
	EXPECT_EQ(kept.B, 8.0f);
	EXPECT_EQ(zeroed.R, 0.0f);
	EXPECT_EQ(zeroed.G, 0.0f);
	EXPECT_EQ(zeroed.B, 0.0f);
	EXPECT_EQ(zeroed.A, 1.0f);
}

TEST_F(Qz, RunStereoSwitchPassesTheChosenEyeOrExplainsWhyNot)
{
	ImagePtr right = MakeImage(6, 4, [](int x, int y) { return Pixel(0.5f * x, 0.25f * y, 1.0f, 1.0f); });
	WriteImageFile(*right, Path("right.exr"));
	const std::string leftInput = "LeftImage=" + Path("depth.exr"), rightInput = "RightImage=" + Path("right.exr");

	QzRun chosen = Run({"run", "StereoSwitch", "-i", leftInput, "-i", rightInput, "-s", "Input=Right", "-o", Path("s.exr")});
	ASSERT_EQ(chosen.Status, 0) << chosen.Err;
	ImagePtr out(ReadImageFile(Path("s.exr")));
	EXPECT_TRUE(SameImage(*out, *right));

	QzRun byDefault = Run({"run", "StereoSwitch", "-i", leftInput, "-i", rightInput, "-o", Path("d.exr")});
	ASSERT_EQ(byDefault.Status, 0) << byDefault.Err;
	ImagePtr left(ReadImageFile(Path("depth.exr"))), defaultOut(ReadImageFile(Path("d.exr")));
	EXPECT_TRUE(SameImage(*defaultOut, *left));

	QzRun missing = Run({"run", "StereoSwitch", "-i", leftInput, "-s", "Input=Right", "-o", Path("m.exr")});
	EXPECT_EQ(missing.Status, 1);
	EXPECT_EQ(missing.Err,
	          "qz: StereoSwitch set no output (\"Input\" is \"Right\", \"RightImage\" is not connected)\n");
	EXPECT_FALSE(fs::exists(Path("m.exr")));
}

TEST_F(Qz, RunWirelessCopiesThePickedImage)
{
	QzRun run = Run({"run", "Wireless", "-i", "Input=" + Path("depth.exr"), "-o", Path("w.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr in(ReadImageFile(Path("depth.exr"))), out(ReadImageFile(Path("w.exr")));
	EXPECT_TRUE(SameImage(*in, *out));

	QzRun unpicked = Run({"run", "Wireless", "-o", Path("none.exr")});
	EXPECT_EQ(unpicked.Status, 1);
	EXPECT_NE(unpicked.Err.find("required input \"Input\" is not connected"), std::string::npos) << unpicked.Err;
	EXPECT_FALSE(fs::exists(Path("none.exr")));
}

TEST_F(Qz, DemoRunsTheUtilityStage)
{
	QzRun run = Run({"demo", "--out", Path("demo")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	EXPECT_NE(run.Out.find("Left: hands on that eye's image"), std::string::npos) << run.Out;
	EXPECT_NE(run.Out.find("Right: hands on that eye's image"), std::string::npos) << run.Out;
	for (const char* name : {"normalizer_position.exr", "normalizer_position.png", "clipmotion.exr", "clipmotion.png",
	                         "stereo_left.exr", "stereo_left.png", "stereo_right.exr", "stereo_right.png"})
		EXPECT_TRUE(fs::exists(Dir / "demo" / name)) << name;

	ImagePtr beauty(ReadImageFile(Path("demo/beauty.exr"))), left(ReadImageFile(Path("demo/stereo_left.exr")));
	EXPECT_TRUE(SameImage(*beauty, *left));
	// Every clipped vector is at most 4 pixels long (up to float rounding).
	ImagePtr clipped(ReadImageFile(Path("demo/clipmotion.exr")));
	for (int y = 0; y < clipped->Height; ++y)
		for (int x = 0; x < clipped->Width; ++x)
		{
			const FltPixel p = PixelAt(*clipped, x, y);
			ASSERT_LE(std::hypot(p.R, p.G, p.B), 4.0 + 1e-5) << x << "," << y;
		}
}
