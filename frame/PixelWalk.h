#pragma once
// The row walk of the single-threaded tools: every pixel of the main image in
// row order (row 0 first, left to right), with the pixel at the same place of
// any other image involved.
//
// The walk hands the tool blocks of consecutive pixels with each of B, G, R
// and A in an array of its own, so that the compiler can run a tool's
// per-pixel arithmetic on several pixels at once (lane by lane, with the same
// IEEE operations in the same order, so results are bit-identical to one
// pixel at a time). Images stored as plain float RGBA are read and written in
// place; other layouts go through the cursors and their format conversions,
// and their auxiliary channels pass through unchanged. Either way a tool sees
// the same float values.
#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Image.h"

/// Up to `Capacity` pixels that follow each other in row order, channel by
/// channel.
struct PixelBlock
{
	// Small enough that a tool's arrays for a block stay in the first-level
	// cache next to the pixels on their way in and out.
	static constexpr int Capacity = 128;

	int Count = 0;
	float B[Capacity], G[Capacity], R[Capacity], A[Capacity];

	/// Pixel i as a `FltPixel` (auxiliary channels 0).
	FltPixel Pixel(int i) const
	{
		FltPixel pixel;
		pixel.B = B[i];
		pixel.G = G[i];
		pixel.R = R[i];
		pixel.A = A[i];
		return pixel;
	}

	/// Sets B, G, R and A of pixel i.
	void Set(int i, const FltPixel& pixel)
	{
		B[i] = pixel.B;
		G[i] = pixel.G;
		R[i] = pixel.R;
		A[i] = pixel.A;
	}
};

// The walk is inlined whole (the tool's arithmetic included). GCC on x86-64
// also builds it twice, for AVX2 and for any x86-64 processor, and the loader
// picks the version the machine runs; both compute the same IEEE operations.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define QZ_PIXEL_LOOPS [[gnu::flatten, gnu::target_clones("avx2", "default")]]
#else
#define QZ_PIXEL_LOOPS [[gnu::flatten]]
#endif

namespace pixelwalk
{
constexpr size_t PlainPixelBytes = 4 * sizeof(float);

/// Reads `block.Count` plain float RGBA pixels starting at `pixels`. The
/// bytes are copied out first, so that the channels are picked from a float
/// array in loops that run on several pixels at once.
inline void Load(const uint8_t* pixels, PixelBlock& block)
{
	float bgra[4 * PixelBlock::Capacity];
	std::memcpy(bgra, pixels, block.Count * PlainPixelBytes);
	for (int i = 0; i < block.Count; ++i)
	{
		block.B[i] = bgra[4 * i];
		block.G[i] = bgra[4 * i + 1];
		block.R[i] = bgra[4 * i + 2];
		block.A[i] = bgra[4 * i + 3];
	}
}

/// Writes `count` pixels' bytes to an image far larger than the caches,
/// around them: reading each line of the output in before overwriting it,
/// as ordinary stores do, would add a third to the memory traffic of a walk.
/// `Fence()` must follow the last of them before anyone reads the image.
inline void StreamBytes(uint8_t* to, const float* bgra, int count)
{
#if defined(__SSE2__)
	if (reinterpret_cast<uintptr_t>(to) % 16 == 0)
	{
		for (int i = 0; i < count; ++i)
			_mm_stream_ps(reinterpret_cast<float*>(to + i * PlainPixelBytes), _mm_loadu_ps(bgra + 4 * i));
		return;
	}
#endif
	std::memcpy(to, bgra, count * PlainPixelBytes);
}

inline void Fence()
{
#if defined(__SSE2__)
	_mm_sfence();
#endif
}

/// Writes `block.Count` plain float RGBA pixels starting at `pixels`,
/// past the caches when `streams`.
inline void Store(const PixelBlock& block, uint8_t* pixels, bool streams)
{
	float bgra[4 * PixelBlock::Capacity];
	for (int i = 0; i < block.Count; ++i)
	{
		bgra[4 * i] = block.B[i];
		bgra[4 * i + 1] = block.G[i];
		bgra[4 * i + 2] = block.R[i];
		bgra[4 * i + 3] = block.A[i];
	}
	if (streams)
		StreamBytes(pixels, bgra, block.Count);
	else
		std::memcpy(pixels, bgra, block.Count * PlainPixelBytes);
}

// Outputs of at least this size are written past the caches: smaller ones
// may still be in the caches when the next tool reads them.
constexpr size_t StreamingBytes = size_t(32) << 20;

/// Every image given is plain float RGBA; a missing image counts as plain.
inline bool AllPlain(const Image* input, const Image* side, const Image* output)
{
	return input->IsPlainFloatRGBA() && (!side || side->IsPlainFloatRGBA()) && (!output || output->IsPlainFloatRGBA());
}

/// Plain images: blocks read straight from and written straight to memory.
template <class Step>
void WalkPlain(Image* input, Image* side, Image* output, Step& step)
{
	PixelBlock block, sideBlock;
	const size_t count = input->PixelCount();
	const bool streams = output && count * PlainPixelBytes >= StreamingBytes;
	for (size_t start = 0; start < count; start += PixelBlock::Capacity)
	{
		const size_t offset = start * PlainPixelBytes;
		block.Count = static_cast<int>(std::min<size_t>(PixelBlock::Capacity, count - start));
		Load(input->Data() + offset, block);
		if (side)
		{
			sideBlock.Count = block.Count;
			Load(side->Data() + offset, sideBlock);
		}
		step(block, sideBlock);
		if (output)
			Store(block, output->Data() + offset, streams);
	}
	if (streams)
		Fence();
}

/// Other layouts: blocks filled row by row through the cursors. The input's
/// pixels are kept whole, so that their auxiliary channels reach the output.
template <class Step>
void WalkCursors(Image* input, Image* side, Image* output, Step& step)
{
	PixelBlock block, sideBlock;
	FltPixel pixels[PixelBlock::Capacity], sidePixel;
	PixPtr src(input), sideSrc(side), dst(output);
	for (int y = 0; y < input->Height; ++y)
	{
		src.GotoXY(0, y);
		if (side)
			sideSrc.GotoXY(0, y);
		if (output)
			dst.GotoXY(0, y);
		for (int x = 0; x < input->Width; x += block.Count)
		{
			block.Count = std::min(PixelBlock::Capacity, input->Width - x);
			sideBlock.Count = side ? block.Count : 0;
			for (int i = 0; i < block.Count; ++i)
			{
				pixels[i] >>= src;
				block.Set(i, pixels[i]);
				if (side)
				{
					sidePixel >>= sideSrc;
					sideBlock.Set(i, sidePixel);
				}
			}
			step(block, sideBlock);
			if (output)
				for (int i = 0; i < block.Count; ++i)
				{
					pixels[i].B = block.B[i];
					pixels[i].G = block.G[i];
					pixels[i].R = block.R[i];
					pixels[i].A = block.A[i];
					dst >>= pixels[i];
				}
		}
	}
}

/// `step(block, sideBlock)` for every block of `input`, in row order. The
/// side block holds the pixels at the same places of `side` (an image of the
/// same size) when there is one; the block as the step leaves it is written
/// to the same places of `output` when there is one.
template <class Step>
QZ_PIXEL_LOOPS void Walk(Image* input, Image* side, Image* output, Step&& step)
{
	if (AllPlain(input, side, output))
		WalkPlain(input, side, output, step);
	else
		WalkCursors(input, side, output, step);
}
}

/// Calls `visit(block)` for every block of pixels of `input`, in row order.
template <class Visit>
void VisitPixelBlocks(Image* input, Visit&& visit)
{
	pixelwalk::Walk(input, nullptr, nullptr, [&](PixelBlock& block, const PixelBlock&) { visit(block); });
}

/// Turns each block of pixels of `input` into the pixels at the same places of
/// `output` (an image of the same size and layout), with the pixels at the
/// same places of `side` (an image of the same size, or null) at hand:
/// read, `change(block, sideBlock)`, write.
template <class Change>
void MapPixelBlocks(Image* input, Image* side, Image* output, Change&& change)
{
	pixelwalk::Walk(input, side, output, change);
}

/// Turns each pixel of `input` into the pixel at the same place of `output`
/// (an image of the same size and layout): read, `change(pixel)`, write.
template <class Change>
void MapPixels(Image* input, Image* output, Change&& change)
{
	pixelwalk::Walk(input, nullptr, output, [&](PixelBlock& block, const PixelBlock&) {
		for (int i = 0; i < block.Count; ++i)
		{
			FltPixel pixel = block.Pixel(i);
			change(pixel);
			block.Set(i, pixel);
		}
	});
}

/// As above, with the pixel at the same place of `side` (an image of the same
/// size) as well: read both, `change(pixel, sidePixel)`, write `pixel`.
template <class Change>
void MapPixels(Image* input, Image* side, Image* output, Change&& change)
{
	pixelwalk::Walk(input, side, output, [&](PixelBlock& block, const PixelBlock& sideBlock) {
		for (int i = 0; i < block.Count; ++i)
		{
			FltPixel pixel = block.Pixel(i);
			change(pixel, sideBlock.Pixel(i));
			block.Set(i, pixel);
		}
	});
}
