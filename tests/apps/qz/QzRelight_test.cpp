// qz end to end on the relighting tools: normal and position passes written
// as EXR files, run through `qz run`, the masks read back.
#include <gtest/gtest.h>

#include <cmath>

#include "QzFixture.h"

namespace
{
// Writes `image` to `path`; returns the -i argument "ID=path".
std::string Connect(const std::string& id, const Image& image, const std::string& path)
{
	WriteImageFile(image, path);
	return id + "=" + path;
}
}

TEST_F(Qz, FalloffMasksAnExrNormalPass)
{
	// Row 0: facing, (3, 0, 4) at intensity 3 (0.6), edge-on (clamped to 1),
	// zero length (0); row 1 edge-on with alpha 0.5.
	ImagePtr normals = MakeImage(4, 2, [](int x, int y) {
		const FltPixel row0[] = {Pixel(0, 0, 1), Pixel(3, 0, 4), Pixel(0, 1, 0), Pixel(0, 0, 0)};
		return y == 0 ? row0[x] : Pixel(1, 0, 0, 0.5f);
	});
	QzRun run = Run({"run", "Falloff", "-i", Connect("Normals", *normals, Path("normals.exr")), "-s", "Intensity=3",
	                 "-o", Path("falloff.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr mask(ReadImageFile(Path("falloff.exr")));
	const float expected[] = {0.0f, 0.6f, 1.0f, 0.0f};
	for (int x = 0; x < 4; ++x)
	{
		EXPECT_EQ(PixelAt(*mask, x, 0).R, expected[x]) << x;
		EXPECT_EQ(PixelAt(*mask, x, 0).A, expected[x]) << x;
		EXPECT_EQ(PixelAt(*mask, x, 1).G, 0.5f) << x;
	}
}

TEST_F(Qz, IntuitiveRelighterMasksAnExrPositionPassThroughAMap)
{
	// Light at (1, 1, 1); pixels 0.25 and 0.75 away along blue; the map's
	// red 0.5 halves the reach: I = 0.5, S = 0, mask max(1 - dist / 0.5, 0).
	ImagePtr position = MakeImage(2, 1, [](int x, int) { return Pixel(1, 1, x ? 1.75f : 1.25f); });
	ImagePtr map = MakeImage(2, 1, Pixel(0.5f, 0.9f, 0.9f));
	QzRun run = Run({"run", "IntuitiveRelighter", "-i", Connect("NormalsOrPosition", *position, Path("position.exr")),
	                 "-i", Connect("Intensity/Size Map", *map, Path("map.exr")), "-s", "Red=1", "-s", "Green=1", "-s",
	                 "Blue=1", "-s", "Map Channel=Red", "-o", Path("relight.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr mask(ReadImageFile(Path("relight.exr")));
	EXPECT_EQ(PixelAt(*mask, 0, 0).R, 0.5f);
	EXPECT_EQ(PixelAt(*mask, 1, 0).B, 0.0f);
}

TEST_F(Qz, SpotRelighterLightsAnExrPositionPassWithNormals)
{
	// Light (0, 0, 1) aiming at the origin, cone exponent 1: the origin is on
	// the axis (1); with a normal along x it gets nothing.
	ImagePtr position = MakeImage(2, 1, Pixel(0, 0, 0));
	ImagePtr normals = MakeImage(2, 1, [](int x, int) { return x ? Pixel(1, 0, 0) : Pixel(0, 0, 2); });
	QzRun run = Run({"run", "SimpleSpotlight", "-i", Connect("Position", *position, Path("position.exr")), "-i",
	                 Connect("Normals", *normals, Path("normals.exr")), "-s", "Blue=1", "-s", "LightConeSize=1", "-o",
	                 Path("spot.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr light(ReadImageFile(Path("spot.exr")));
	EXPECT_EQ(PixelAt(*light, 0, 0).A, 1.0f);
	EXPECT_EQ(PixelAt(*light, 1, 0).A, 0.0f);
}

TEST_F(Qz, SsaoGivesTheSameExrForAnyThreadCount)
{
	ImagePtr normals = MakeImage(33, 21, [](int x, int y) {
		return Pixel(0.5f + 0.4f * std::cos(0.7f * x), 0.5f - 0.3f * std::sin(0.5f * y), 0.9f);
	});
	ImagePtr position = MakeImage(33, 21, [](int x, int y) {
		return Pixel(0.1f * x, 0.1f * y, 6.0f + 2.0f * std::sin(0.7f * x) * std::cos(0.5f * y));
	});
	const std::string normalsPass = Connect("Normals", *normals, Path("normals.exr"));
	const std::string positionPass = Connect("Position", *position, Path("position.exr"));
	auto withThreads = [&](const char* threads, const char* name) {
		QzRun run = Run({"run", "SSAO", "-i", normalsPass, "-i", positionPass, "-s", "Quality=2", "--threads", threads,
		                 "-o", Path(name)});
		EXPECT_EQ(run.Status, 0) << run.Err;
		return ImagePtr(run.Status == 0 ? ReadImageFile(Path(name)) : nullptr);
	};
	ImagePtr one = withThreads("1", "ao1.exr"), four = withThreads("4", "ao4.exr"), again = withThreads("4", "ao4b.exr");
	ASSERT_TRUE(one && four && again);
	EXPECT_TRUE(SameImage(*one, *four));
	EXPECT_TRUE(SameImage(*four, *again));
	float largest = 0.0f;
	for (int y = 0; y < one->Height; ++y)
		for (int x = 0; x < one->Width; ++x)
			largest = std::max(largest, PixelAt(*one, x, y).R);
	EXPECT_GT(largest, 0.0f);
}

TEST_F(Qz, DemoRendersTheRelightingPasses)
{
	QzRun run = Run({"demo", "--out", Path("demo")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	for (const char* name : {"falloff", "relight", "spotlight", "ssao"})
		for (const char* ext : {".exr", ".png"})
			EXPECT_TRUE(fs::exists(Dir / "demo" / (std::string(name) + ext))) << name << ext;
	// The falloff mask lies in 0..1 and reaches both ends: spheres face the
	// camera at their centres and turn edge-on at their outlines.
	ImagePtr mask(ReadImageFile(Path("demo/falloff.exr")));
	float low = 1.0f, high = 0.0f;
	for (int y = 0; y < mask->Height; ++y)
		for (int x = 0; x < mask->Width; ++x)
		{
			const float v = PixelAt(*mask, x, y).R;
			ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << x << "," << y << ": " << v;
			low = std::min(low, v);
			high = std::max(high, v);
		}
	EXPECT_LT(low, 0.05f);
	EXPECT_GT(high, 0.95f);
}
