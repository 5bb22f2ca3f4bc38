// Checks every registered tool must pass, whatever it computes: odd sizes,
// 1x1 and empty images, thread-count independence, hostile pixel values.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "ToolHarness.h"
#include "WorkerPool.h"

namespace
{
// Connects every image input of the tool to `image` and renders.
RenderResult RunWithEveryImage(const Registry* tool, Image* image, int threads = 0)
{
	SetThreadCount(threads);
	ToolSession session(tool);
	for (const auto& input : session.Tool().Inputs())
		if (input->IsImage())
			session.Connect(input->ID().GetRawString(), image);
	RenderResult result = session.Render();
	SetThreadCount(0);
	return result;
}

// Depth-like values with structure in x and y, alpha 1.
FltPixel Gradient(int x, int y)
{
	return Pixel(0.5f + 0.37f * x, 0.25f + 0.11f * y, 0.1f * (x + y), 1.0f);
}
}

TEST(AllTools, OutputHasTheMainImagesShapeAtAnySize)
{
	for (const Registry* tool : Plugins().Tools())
		for (auto [w, h] : {std::pair{5, 3}, std::pair{1, 1}, std::pair{4, 0}, std::pair{0, 2}})
			for (PixelFormat format : {PixelFormat::Float, PixelFormat::UInt8})
			{
				ImagePtr image = MakeImage(w, h, Gradient, format);
				RenderResult result = RunWithEveryImage(tool, image.get());
				if (!result.Output)
					continue;
				EXPECT_EQ(result.Output->Width, w) << tool->Name();
				EXPECT_EQ(result.Output->Height, h) << tool->Name();
				EXPECT_EQ(result.Output->Format(), format) << tool->Name();
			}
}

TEST(AllTools, SameOutputForOneAndManyThreads)
{
	ImagePtr image = MakeImage(37, 29, Gradient);
	for (const Registry* tool : Plugins().Tools())
	{
		RenderResult one = RunWithEveryImage(tool, image.get(), 1);
		for (int threads : {2, 3, 7})
		{
			RenderResult many = RunWithEveryImage(tool, image.get(), threads);
			ASSERT_EQ(one.Output == nullptr, many.Output == nullptr) << tool->Name();
			if (one.Output)
			{
				EXPECT_TRUE(SameImage(*one.Output, *many.Output)) << tool->Name() << ", " << threads << " threads";
			}
		}
	}
}

TEST(AllTools, ACancelledRenderStopsAndGivesBackWhatItMade)
{
	// The flag is up before the render starts: a tool stops at its first
	// chunked loop or pixel walk, and the output it made is recycled (the
	// sanitizer builds see a leak otherwise). A tool with no such loop
	// finishes; its output is whole.
	ImagePtr image = MakeImage(64, 48, Gradient);
	const std::atomic<bool> raised{true};
	for (const Registry* tool : Plugins().Tools())
	{
		const RenderCancel cancel(&raised);
		try
		{
			RenderResult result = RunWithEveryImage(tool, image.get(), 2);
			if (result.Output)
				EXPECT_EQ(result.Output->Width, 64) << tool->Name();
		}
		catch (const RenderCancelled&)
		{
		}
	}
	SetThreadCount(0);
}

TEST(AllTools, NonFiniteInputDoesNotCrash)
{
	const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
	const float values[] = {nan, inf, -inf, 0.0f, -0.0f, 1e30f, -1e30f, 1e-45f};
	ImagePtr image = MakeImage(8, 8, [&](int x, int y) {
		return Pixel(values[x], values[y], values[(x + y) % 8], values[(x * y) % 8]);
	});
	for (const Registry* tool : Plugins().Tools())
		RunWithEveryImage(tool, image.get());
}

namespace
{
// The colour channels of pixel (x, y) as stored bits, so that NaNs compare too.
std::array<uint32_t, 4> ColourBits(const Image& image, int x, int y)
{
	const FltPixel p = PixelAt(image, x, y);
	std::array<uint32_t, 4> bits;
	std::memcpy(bits.data(), &p.B, sizeof bits);
	return bits;
}
}

// Plain float RGBA images are walked in place and in blocks of pixels; images
// with more channels go through the cursors. Both must give the same colours,
// across block edges (rows of 300 pixels) and for hostile values.
TEST(AllTools, PlainAndAuxiliaryLayoutsGiveTheSameColours)
{
	const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
	const float odd[] = {nan, inf, -inf, 0.0f, -0.0f, 1e30f, -1e30f, 1e-45f};
	const auto fill = [&](int x, int y) {
		if (x % 37 == 5)
			return Pixel(odd[x % 8], odd[(x + y) % 8], odd[(x / 3) % 8], odd[y % 8]);
		return Gradient(x, y);
	};
	ImagePtr plain = MakeImage(300, 3, fill);
	ImagePtr withDepth = MakeImage(300, 3, fill, PixelFormat::Float, {"Z"});
	for (const Registry* tool : Plugins().Tools())
	{
		RenderResult a = RunWithEveryImage(tool, plain.get());
		RenderResult b = RunWithEveryImage(tool, withDepth.get());
		ASSERT_EQ(a.Output == nullptr, b.Output == nullptr) << tool->Name();
		if (!a.Output)
			continue;
		int mismatches = 0;
		for (int y = 0; y < 3; ++y)
			for (int x = 0; x < 300; ++x)
				if (ColourBits(*a.Output, x, y) != ColourBits(*b.Output, x, y) && ++mismatches <= 3)
					ADD_FAILURE() << tool->Name() << " differs at " << x << "," << y;
	}
}

// A new output image may reuse the memory of an image freed before it; the
// tools that leave their output cleared must clear it themselves.
TEST(AllTools, ClearedOutputsStayClearedWhenMemoryIsReused)
{
	const int size = 512;  // large enough for its memory to be kept for reuse
	const struct
	{
		const char* tool;
		const char* main;
		const char* other;
	} cases[] = {{"Falloff", "Normals", "Intensity Map"},
	             {"IntuitiveRelighter", "NormalsOrPosition", "Intensity/Size Map"},
	             {"SimpleSpotlight", "Position", "Normals"}};
	ImagePtr main = MakeImage(size, size, Pixel(0.25f, 0.5f, -1.0f));
	ImagePtr smaller = MakeImage(size - 1, size, Pixel(1.0f, 1.0f, 1.0f));
	for (const auto& c : cases)
	{
		for (int i = 0; i < 3; ++i)
			MakeImage(size, size, Pixel(0.75f, 0.75f, 0.75f, 0.75f));
		RenderResult result = RunTool(c.tool, {{c.main, main.get()}, {c.other, smaller.get()}});
		ASSERT_NE(result.Output, nullptr) << c.tool;
		bool allZero = true;
		for (int y = 0; y < size && allZero; ++y)
			for (int x = 0; x < size && allZero; ++x)
			{
				const FltPixel p = PixelAt(*result.Output, x, y);
				allZero = p.R == 0.0f && p.G == 0.0f && p.B == 0.0f && p.A == 0.0f;
			}
		EXPECT_TRUE(allZero) << c.tool;
	}
}

// Full-size frames, whose pixels pass through the caches many times over,
// must give the pixels written through the cursors.
TEST(AllTools, LargeFramesGiveTheSameColoursAsTheCursors)
{
	const int width = 2048, height = 1024;  // 32 MB of float RGBA
	ImagePtr plain = MakeImage(width, height, Gradient);
	ImagePtr withDepth = MakeImage(width, height, Gradient, PixelFormat::Float, {"Z"});
	for (const char* tool : {"ZRemapper", "Falloff"})
	{
		RenderResult a = RunWithEveryImage(Tool(tool), plain.get());
		RenderResult b = RunWithEveryImage(Tool(tool), withDepth.get());
		ASSERT_TRUE(a.Output && b.Output) << tool;
		int mismatches = 0;
		for (int y = 0; y < height; y += 7)
			for (int x = 0; x < width; ++x)
				if (ColourBits(*a.Output, x, y) != ColourBits(*b.Output, x, y) && ++mismatches <= 3)
					ADD_FAILURE() << tool << " differs at " << x << "," << y;
	}
}
