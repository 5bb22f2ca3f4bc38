// qz end to end for the depth remapper and the depth-of-field blur, on EXR
// passes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "QzFixture.h"

TEST_F(Qz, RunZRemapPrintsTheReadoutsAndRemapsTheDepthPass)
{
	// depth.exr: pixel (x, y) = (2 + x, 4 + y, 8, 1). Red is at most 7, in
	// front of Near = 7.5243541: every channel becomes Near - v.
	QzRun run = Run({"run", "ZRemap", "-i", "Input=" + Path("depth.exr"), "-o", Path("remapped.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	size_t at = 0;
	for (const char* line : {"FrameAspect = 1.33333", "CoC = 0.0207433", "HyperFocal = 43.0430", "DoFN = 7.52435",
	                         "DoFF = 11.5351", "DoFT = 4.01076"})
	{
		const size_t found = run.Out.find(line, at);
		EXPECT_NE(found, std::string::npos) << line << " in order in:\n" << run.Out;
		at = found == std::string::npos ? at : found;
	}
	ImagePtr out(ReadImageFile(Path("remapped.exr")));
	const FltPixel p = PixelAt(*out, 3, 2);  // (5, 6, 8)
	EXPECT_NEAR(p.R, 2.5243541f, 5e-7);
	EXPECT_NEAR(p.G, 1.5243541f, 5e-7);
	EXPECT_NEAR(p.B, -0.4756459f, 5e-7);
	EXPECT_EQ(p.A, 1.0f);

	QzRun json = Run({"run", "korvane.zremapper", "-i", "Input=" + Path("depth.exr"), "-s", "PlaneOfFocus=50",
	                  "--json"});
	ASSERT_EQ(json.Status, 0) << json.Err;
	const nlohmann::json readouts = nlohmann::json::parse(json.Out)["readouts"];
	EXPECT_EQ(readouts.size(), 6u);
	EXPECT_EQ(readouts["DoFF"], 0.0);
	EXPECT_NEAR(readouts["DoFN"].get<double>(), 23.1431655, 1e-7);
}

TEST_F(Qz, RunDirtyDofIsTheSameForAnyThreadCount)
{
	// A foreground pass: the pixels at 5 m take colour from the strip at
	// 0.5 m (radius 40.9 pixels), 15 columns to their left and 15 rows lower.
	ImagePtr colour = MakeImage(48, 40, [](int x, int y) {
		return Pixel(0.02f * x, 0.025f * y, x < 8 ? 1.0f : 0.0f, 1.0f);
	});
	ImagePtr depth = MakeImage(48, 40, [](int x, int) { return x < 8 ? Pixel(0.5f, 0.5f, 0.5f) : Pixel(5, 5, 5); });
	WriteImageFile(*colour, Path("beauty.exr"));
	WriteImageFile(*depth, Path("z.exr"));
	const std::vector<std::string> args = {"run", "DirtyDOF", "-i", "Image=" + Path("beauty.exr"), "-i",
	                                       "Zdepth=" + Path("z.exr"), "-o"};
	auto render = [&](const std::string& name, const std::string& threads) {
		std::vector<std::string> command = args;
		command.insert(command.end(), {Path(name), "--threads", threads});
		QzRun run = Run(command);
		EXPECT_EQ(run.Status, 0) << run.Err;
		return ImagePtr(ReadImageFile(Path(name)));
	};
	ImagePtr one = render("one.exr", "1");
	ImagePtr four = render("four.exr", "4");
	ImagePtr again = render("again.exr", "4");
	EXPECT_TRUE(SameImage(*one, *four));
	EXPECT_TRUE(SameImage(*one, *again));
	// Pixel (20, 20) lies 12 columns right of the strip: its left draws land
	// on (5, 20) and (5, 5), both in the strip, its lower ones on (20, 5), at
	// 5 m. Of 20 draws 3 go left and 6 diagonally, 10 lower and 1 to itself:
	// blue (1 from the strip, 0 elsewhere) sums to 3 + 6 = 9 over 21.
	EXPECT_EQ(PixelAt(*one, 20, 20).B, float(9.0 / 21.0));
}

TEST_F(Qz, RunDirtyDofWithASmallerDepthPassSetsNoOutput)
{
	ImagePtr colour = MakeImage(8, 6, Pixel(1, 1, 1));
	WriteImageFile(*colour, Path("beauty.exr"));
	QzRun run = Run({"run", "DirtyDOF", "-i", "Image=" + Path("beauty.exr"), "-i", "Zdepth=" + Path("depth.exr"), "-o",
	                 Path("out.exr")});
	EXPECT_EQ(run.Status, 1) << run.Err;
	EXPECT_EQ(run.Err.rfind("qz: ", 0), 0u) << run.Err;
	EXPECT_NE(run.Err.find("set no output"), std::string::npos) << run.Err;
	EXPECT_EQ(Files(), (std::vector<std::string>{"beauty.exr", "depth.exr"}));
}
