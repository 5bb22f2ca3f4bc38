#pragma once
// Pixels read at whole-pixel positions, as the image's samplers read them,
// without a call per pixel: the tools that gather from neighbours or look up
// a texture read pixels anywhere for every pixel they write.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Image.h"

/// The whole pixel a position lies in, as the samplers' fixed point takes it
/// (`FixedPoint` is this times 65536): truncated toward zero and limited to
/// -32768 .. 32767; NaN gives pixel 0.
inline int WholePixelOf(double pixel)
{
	if (std::isnan(pixel))
		return 0;
	return static_cast<int>(std::clamp(pixel, -32768.0, 32767.0));
}

/// Blue, green, red and alpha of one pixel.
struct Bgra
{
	float B, G, R, A;
};

/// The pixels of one image as `SamplePixelD`, `SamplePixelW` and
/// `SamplePixelB` read them at whole-pixel positions, with the same values:
/// plain float RGBA images are read in place, others through a float copy
/// made once. An empty image reads black.
class PixelSampler
{
public:
	explicit PixelSampler(const Image* image);

	/// Outside the image, the nearest edge pixel.
	Bgra Duplicate(int x, int y) const
	{
		if (Empty())
			return Bgra{};
		return Pixel(std::clamp(x, 0, Width - 1), std::clamp(y, 0, Height - 1));
	}

	/// Outside the image, the pixel as far in from the opposite edge.
	Bgra Wrap(int x, int y) const
	{
		if (Empty())
			return Bgra{};
		return Pixel(Wrapped(x, Width), Wrapped(y, Height));
	}

	/// Outside the image, black.
	Bgra Black(int x, int y) const
	{
		if (x < 0 || y < 0 || x >= Width || y >= Height)
			return Bgra{};
		return Pixel(x, y);
	}

	/// Where B, G, R and A of pixel (x, y), inside the image, lie as four
	/// floats: for a caller that reads many pixels at once.
	const uint8_t* PixelAddress(int x, int y) const
	{
		return Bytes + sizeof(Bgra) * (static_cast<size_t>(y) * Width + x);
	}

private:
	bool Empty() const { return Width == 0 || Height == 0; }

	static int Wrapped(int i, int size) { return i >= 0 && i < size ? i : ((i % size) + size) % size; }

	Bgra Pixel(int x, int y) const
	{
		Bgra pixel;
		std::memcpy(&pixel, PixelAddress(x, y), sizeof pixel);
		return pixel;
	}

	int Width, Height;
	std::vector<Bgra> Converted;  // for images stored otherwise than as plain float RGBA
	const uint8_t* Bytes;
};
