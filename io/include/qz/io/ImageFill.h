#pragma once
#include <functional>

#include "Image.h"

/// A pixel of these colour channels; auxiliary channels 0.
inline FltPixel PixelOf(float r, float g, float b, float a = 1.0f)
{
	FltPixel pixel;
	pixel.R = r;
	pixel.G = g;
	pixel.B = b;
	pixel.A = a;
	return pixel;
}

/// Calls `visit(pixel)` with every pixel of `image`, row by row.
template <class Visit>
void VisitPixels(Image& image, Visit&& visit)
{
	PixPtr cursor(&image);
	FltPixel pixel;
	for (int y = 0; y < image.Height; ++y)
	{
		cursor.GotoXY(0, y);
		for (int x = 0; x < image.Width; ++x)
		{
			pixel >>= cursor;
			visit(pixel);
		}
	}
}

/// Sets every pixel (x, y) of `image` to `colour(x, y)`, row by row.
inline void FillImage(Image& image, const std::function<FltPixel(int x, int y)>& colour)
{
	PixPtr cursor(&image);
	for (int y = 0; y < image.Height; ++y)
	{
		cursor.GotoXY(0, y);
		for (int x = 0; x < image.Width; ++x)
			cursor >>= colour(x, y);
	}
}
