// Checks every registered tool must pass, whatever it computes: odd sizes,
// 1x1 and empty images, thread-count independence, hostile pixel values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../ToolHarness.h"

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
		RenderResult many = RunWithEveryImage(tool, image.get(), 4);
		ASSERT_EQ(one.Output == nullptr, many.Output == nullptr) << tool->Name();
		if (one.Output)
		{
			EXPECT_TRUE(SameImage(*one.Output, *many.Output)) << tool->Name();
		}
	}
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
