// The demo's contact sheet: a labelled grid of previews, drawn with
// OpenImageIO's resizing and text rendering.

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "ImageLibrary.h"

namespace
{
constexpr int LabelHeight = 22;
constexpr int Gap = 6;
const char* const LabelFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// The image's colour channels as a top-down RGB preview in 0..1.
OIIO::ImageBuf Preview(const Image& image)
{
	OIIO::ImageBuf preview(OIIO::ImageSpec(std::max(image.Width, 1), std::max(image.Height, 1), 3, OIIO::TypeDesc::FLOAT));
	float low = std::numeric_limits<float>::infinity(), high = -low;
	FltPixel pixel;
	for (size_t i = 0, n = image.PixelCount(); i < n; ++i)
	{
		image.ReadPixel(i, pixel);
		for (float v : {pixel.R, pixel.G, pixel.B})
			if (std::isfinite(v))
			{
				low = std::min(low, v);
				high = std::max(high, v);
			}
	}
	const bool stretch = low < 0.0f || high > 1.0f;
	const float scale = stretch && high > low ? 1.0f / (high - low) : 1.0f;
	const float offset = stretch ? low : 0.0f;
	for (int y = 0; y < image.Height; ++y)
		for (int x = 0; x < image.Width; ++x)
		{
			image.ReadPixel(static_cast<size_t>(y) * image.Width + x, pixel);
			float rgb[3] = {pixel.R, pixel.G, pixel.B};
			for (float& v : rgb)
				v = std::isfinite(v) ? std::clamp((v - offset) * scale, 0.0f, 1.0f) : 0.0f;
			preview.setpixel(x, image.Height - 1 - y, rgb);
		}
	return preview;
}
}

Image* MakeContactSheet(const std::vector<std::pair<std::string, const Image*>>& tiles, int tileWidth,
                        const WarningSink& warn)
{
	int tileHeight = 1;
	for (const auto& [label, image] : tiles)
		if (image->Width > 0)
			tileHeight = std::max(tileHeight, tileWidth * image->Height / image->Width);
	const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(tiles.size()) * 1.5)));
	const int rows = static_cast<int>((tiles.size() + columns - 1) / columns);
	const int cellWidth = tileWidth + Gap, cellHeight = tileHeight + LabelHeight + Gap;

	OIIO::ImageBuf sheet(OIIO::ImageSpec(columns * cellWidth + Gap, rows * cellHeight + Gap, 3, OIIO::TypeDesc::FLOAT));
	const float background[3] = {0.12f, 0.12f, 0.12f}, ink[3] = {0.9f, 0.9f, 0.9f};
	OIIO::ImageBufAlgo::fill(sheet, background);
	const bool haveFont = std::filesystem::exists(LabelFont);
	if (!haveFont && warn)
		warn(std::string("no font at ") + LabelFont + "; the contact sheet has no labels");

	for (size_t i = 0; i < tiles.size(); ++i)
	{
		const auto& [label, image] = tiles[i];
		const int x = Gap + static_cast<int>(i % columns) * cellWidth;
		const int y = Gap + static_cast<int>(i / columns) * cellHeight;
		const int height = image->Width > 0 ? tileWidth * image->Height / image->Width : 1;
		OIIO::ImageBuf tile =
			OIIO::ImageBufAlgo::resize(Preview(*image), "", 0.0f, OIIO::ROI(0, tileWidth, 0, std::max(height, 1), 0, 1, 0, 3));
		OIIO::ImageBufAlgo::paste(sheet, x, y, 0, 0, tile);
		if (haveFont)
			OIIO::ImageBufAlgo::render_text(sheet, x + 2, y + tileHeight + LabelHeight - 6, label, 14, LabelFont, ink);
	}

	auto* out = new Image(sheet.roi().width(), sheet.roi().height(), PixelFormat::UInt8);
	for (int y = 0; y < out->Height; ++y)
		for (int x = 0; x < out->Width; ++x)
		{
			float rgb[3];
			sheet.getpixel(x, out->Height - 1 - y, rgb);
			FltPixel pixel;
			pixel.R = rgb[0];
			pixel.G = rgb[1];
			pixel.B = rgb[2];
			pixel.A = 1.0f;
			out->WritePixel(static_cast<size_t>(y) * out->Width + x, pixel);
		}
	return out;
}
