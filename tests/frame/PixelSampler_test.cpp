// The in-place pixel reads against the image's own samplers, which they
// stand in for: every position in and around images of each layout.
#include "PixelSampler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace
{
struct ImageRelease
{
	void operator()(Image* image) const { image->Recycle(); }
};

// Channel values 10 x + y + c / 8 (c: B 0, G 1, R 2, A 3; auxiliary ones
// 4 on), exact in every layout below, so layouts differ only in storage.
std::unique_ptr<Image, ImageRelease> Numbered(int width, int height, PixelFormat format,
                                              std::vector<std::string> aux = {})
{
	std::unique_ptr<Image, ImageRelease> image(new Image(width, height, format, std::move(aux)));
	for (int y = 0; y < height; ++y)
		for (int x = 0; x < width; ++x)
		{
			FltPixel pixel;
			float* channels = &pixel.B;
			for (int c = 0; c < image->NumChannels(); ++c)
				channels[c] = format == PixelFormat::UInt8 ? (10 * x + y + c) / 255.0f : 10 * x + y + c / 8.0f;
			image->WritePixel(static_cast<size_t>(y) * width + x, pixel);
		}
	return image;
}

bool SameBgra(const Bgra& read, const FltPixel& expected)
{
	return std::memcmp(&read, &expected.B, sizeof read) == 0;
}
}

TEST(PixelSampler, ReadsAsTheImagesSamplersEverywhere)
{
	struct Case
	{
		const char* Name;
		int Width, Height;
		PixelFormat Format;
		std::vector<std::string> Aux;
	};
	const Case cases[] = {
		{"plain float", 5, 3, PixelFormat::Float, {}},
		{"half", 4, 6, PixelFormat::Half, {}},
		{"8-bit with depth", 3, 2, PixelFormat::UInt8, {"Z"}},
		{"one pixel", 1, 1, PixelFormat::Float, {}},
		{"no rows", 4, 0, PixelFormat::Float, {}},
		{"no columns", 0, 3, PixelFormat::Half, {}},
	};
	for (const Case& c : cases)
	{
		auto image = Numbered(c.Width, c.Height, c.Format, c.Aux);
		const PixelSampler sampler(image.get());
		for (int y = -2 * c.Height - 3; y <= 2 * c.Height + 3; ++y)
			for (int x = -2 * c.Width - 3; x <= 2 * c.Width + 3; ++x)
			{
				FltPixel expected;
				image->SamplePixelD(x * 65536, y * 65536, expected);
				EXPECT_TRUE(SameBgra(sampler.Duplicate(x, y), expected)) << c.Name << " duplicate " << x << ", " << y;
				image->SamplePixelW(x * 65536, y * 65536, expected);
				EXPECT_TRUE(SameBgra(sampler.Wrap(x, y), expected)) << c.Name << " wrap " << x << ", " << y;
				image->SamplePixelB(x * 65536, y * 65536, expected);
				EXPECT_TRUE(SameBgra(sampler.Black(x, y), expected)) << c.Name << " black " << x << ", " << y;
			}
	}
}
