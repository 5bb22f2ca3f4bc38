#pragma once
// The row walk of the single-threaded tools: every pixel of the main image in
// row order (row 0 first, left to right), with the pixel at the same place of
// any other image involved. Images stored as plain float RGBA are read and
// written in place, so the per-pixel arithmetic works on registers; other
// layouts go through the cursors and their format conversions. Either way a
// tool sees the same float values, so its results do not depend on the path.
#include <cstring>

#include "Image.h"

namespace pixelwalk
{
constexpr size_t PlainPixelBytes = 4 * sizeof(float);

inline void Load(const uint8_t* pixels, size_t index, FltPixel& pixel)
{
	float bgra[4];
	std::memcpy(bgra, pixels + index * PlainPixelBytes, PlainPixelBytes);
	pixel.B = bgra[0];
	pixel.G = bgra[1];
	pixel.R = bgra[2];
	pixel.A = bgra[3];
}

inline void Store(uint8_t* pixels, size_t index, const FltPixel& pixel)
{
	const float bgra[4] = {pixel.B, pixel.G, pixel.R, pixel.A};
	std::memcpy(pixels + index * PlainPixelBytes, bgra, PlainPixelBytes);
}

/// Every image given is plain float RGBA; a null side image counts as plain.
inline bool AllPlain(const Image* input, const Image* side, const Image* output)
{
	return input->IsPlainFloatRGBA() && (!side || side->IsPlainFloatRGBA()) && (!output || output->IsPlainFloatRGBA());
}

/// The walk itself: `step(pixel, sidePixel)` per pixel of `input`, where the
/// side pixel is read from `side` (an image of the same size) when there is
/// one, and the changed pixel is written to `output` when there is one. The
/// step's arithmetic is inlined whole, so that the pixel stays in registers.
template <class Step>
[[gnu::flatten]] void Walk(Image* input, Image* side, Image* output, Step&& step)
{
	FltPixel pixel, sidePixel;
	if (AllPlain(input, side, output))
	{
		const uint8_t* from = input->Data();
		const uint8_t* sideFrom = side ? side->Data() : nullptr;
		uint8_t* to = output ? output->Data() : nullptr;
		for (size_t i = 0, n = input->PixelCount(); i < n; ++i)
		{
			Load(from, i, pixel);
			if (sideFrom)
				Load(sideFrom, i, sidePixel);
			step(pixel, sidePixel);
			if (to)
				Store(to, i, pixel);
		}
		return;
	}
	PixPtr src(input), sideSrc(side), dst(output);
	for (int y = 0; y < input->Height; ++y)
	{
		src.GotoXY(0, y);
		if (side)
			sideSrc.GotoXY(0, y);
		if (output)
			dst.GotoXY(0, y);
		for (int x = 0; x < input->Width; ++x)
		{
			pixel >>= src;
			if (side)
				sidePixel >>= sideSrc;
			step(pixel, sidePixel);
			if (output)
				dst >>= pixel;
		}
	}
}
}

/// Calls `visit(pixel)` for every pixel of `input`.
template <class Visit>
void VisitPixels(Image* input, Visit&& visit)
{
	pixelwalk::Walk(input, nullptr, nullptr, [&](const FltPixel& pixel, const FltPixel&) { visit(pixel); });
}

/// Turns each pixel of `input` into the pixel at the same place of `output`
/// (an image of the same size and layout): read, `change(pixel)`, write.
template <class Change>
void MapPixels(Image* input, Image* output, Change&& change)
{
	pixelwalk::Walk(input, nullptr, output, [&](FltPixel& pixel, const FltPixel&) { change(pixel); });
}

/// As above, with the pixel at the same place of `side` (an image of the same
/// size) as well: read both, `change(pixel, sidePixel)`, write `pixel`.
template <class Change>
void MapPixels(Image* input, Image* side, Image* output, Change&& change)
{
	pixelwalk::Walk(input, side, output, change);
}
