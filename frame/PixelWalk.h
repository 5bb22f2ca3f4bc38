#pragma once
// The pixel walk of the per-pixel tools: every pixel of the main image, with
// the pixel at the same place of any other image involved. A visit sees the
// pixels in row order (row 0 first, left to right); a map, whose pixels do not
// depend on each other, shares spans of them out to the worker threads, as
// does a gather, which then merges what the spans found in row order.
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
#include <vector>

#include "Image.h"
#include "Operator.h"
#include "WorkerPool.h"

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

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

// Each span of a walk is inlined whole (the tool's arithmetic included). GCC
// on x86-64 also builds it three times, for AVX-512 (x86-64-v4), for AVX2 and
// for any x86-64 processor, and the loader picks the best version the machine
// runs; all compute the same IEEE operations. (Not under ThreadSanitizer: an
// executable's resolvers for those builds run before its runtime is ready.)
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define QZ_PIXEL_LOOPS [[gnu::flatten, gnu::target_clones("arch=x86-64-v4", "avx2", "default")]]
#else
#define QZ_PIXEL_LOOPS [[gnu::flatten]]
#endif

namespace pixelwalk
{
constexpr size_t PlainPixelBytes = 4 * sizeof(float);

// Eight floats: one channel of eight pixels, or two whole pixels. The
// shuffles below become the processor's own (AVX registers in the AVX2 and
// AVX-512 builds of the walk, pairs of SSE registers in the baseline one).
using Floats8 = float __attribute__((vector_size(32)));
// The same, at any float's address in memory of any type (as the processor's
// own unaligned load and store intrinsics are declared).
// (A typedef: Clang keeps the lowered alignment only on that form.)
typedef float LooseFloats8 __attribute__((vector_size(32), aligned(4), may_alias));

/// Splits eight interleaved pixels (two to each of `pixels`) into their
/// channels.
inline void Deinterleave(const Floats8 (&pixels)[4], Floats8& b, Floats8& g, Floats8& r, Floats8& a)
{
	// Pixels 0 and 4, 1 and 5, 2 and 6, 3 and 7 side by side, then a 4 x 4
	// transposition in each half.
	const Floats8 p04 = __builtin_shufflevector(pixels[0], pixels[2], 0, 1, 2, 3, 8, 9, 10, 11);
	const Floats8 p15 = __builtin_shufflevector(pixels[0], pixels[2], 4, 5, 6, 7, 12, 13, 14, 15);
	const Floats8 p26 = __builtin_shufflevector(pixels[1], pixels[3], 0, 1, 2, 3, 8, 9, 10, 11);
	const Floats8 p37 = __builtin_shufflevector(pixels[1], pixels[3], 4, 5, 6, 7, 12, 13, 14, 15);
	const Floats8 bg01 = __builtin_shufflevector(p04, p15, 0, 8, 1, 9, 4, 12, 5, 13);
	const Floats8 ra01 = __builtin_shufflevector(p04, p15, 2, 10, 3, 11, 6, 14, 7, 15);
	const Floats8 bg23 = __builtin_shufflevector(p26, p37, 0, 8, 1, 9, 4, 12, 5, 13);
	const Floats8 ra23 = __builtin_shufflevector(p26, p37, 2, 10, 3, 11, 6, 14, 7, 15);
	b = __builtin_shufflevector(bg01, bg23, 0, 1, 8, 9, 4, 5, 12, 13);
	g = __builtin_shufflevector(bg01, bg23, 2, 3, 10, 11, 6, 7, 14, 15);
	r = __builtin_shufflevector(ra01, ra23, 0, 1, 8, 9, 4, 5, 12, 13);
	a = __builtin_shufflevector(ra01, ra23, 2, 3, 10, 11, 6, 7, 14, 15);
}

/// The inverse of `Deinterleave`.
inline void Interleave(const Floats8& b, const Floats8& g, const Floats8& r, const Floats8& a, Floats8 (&pixels)[4])
{
	const Floats8 bg01 = __builtin_shufflevector(b, g, 0, 1, 8, 9, 4, 5, 12, 13);
	const Floats8 bg23 = __builtin_shufflevector(b, g, 2, 3, 10, 11, 6, 7, 14, 15);
	const Floats8 ra01 = __builtin_shufflevector(r, a, 0, 1, 8, 9, 4, 5, 12, 13);
	const Floats8 ra23 = __builtin_shufflevector(r, a, 2, 3, 10, 11, 6, 7, 14, 15);
	const Floats8 p04 = __builtin_shufflevector(bg01, ra01, 0, 2, 8, 10, 4, 6, 12, 14);
	const Floats8 p15 = __builtin_shufflevector(bg01, ra01, 1, 3, 9, 11, 5, 7, 13, 15);
	const Floats8 p26 = __builtin_shufflevector(bg23, ra23, 0, 2, 8, 10, 4, 6, 12, 14);
	const Floats8 p37 = __builtin_shufflevector(bg23, ra23, 1, 3, 9, 11, 5, 7, 13, 15);
	pixels[0] = __builtin_shufflevector(p04, p15, 0, 1, 2, 3, 8, 9, 10, 11);
	pixels[1] = __builtin_shufflevector(p26, p37, 0, 1, 2, 3, 8, 9, 10, 11);
	pixels[2] = __builtin_shufflevector(p04, p15, 4, 5, 6, 7, 12, 13, 14, 15);
	pixels[3] = __builtin_shufflevector(p26, p37, 4, 5, 6, 7, 12, 13, 14, 15);
}

/// Takes the eight floats at `at`.
inline void Get8(const void* at, Floats8& floats)
{
	floats = *static_cast<const LooseFloats8*>(at);
}

/// Puts eight floats at `at`.
inline void Put8(void* at, const Floats8& floats)
{
	*static_cast<LooseFloats8*>(at) = floats;
}

/// Splits eight interleaved pixels (two to each of `eight`) into pixels
/// i .. i+7 of `block`.
inline void PutEight(const Floats8 (&eight)[4], PixelBlock& block, int i)
{
	Floats8 b, g, r, a;
	Deinterleave(eight, b, g, r, a);
	Put8(block.B + i, b);
	Put8(block.G + i, g);
	Put8(block.R + i, r);
	Put8(block.A + i, a);
}

/// Sets pixel i of `block` to the plain float RGBA pixel at `pixel`.
inline void PutOne(const uint8_t* pixel, PixelBlock& block, int i)
{
	float bgra[4];
	std::memcpy(bgra, pixel, sizeof bgra);
	block.B[i] = bgra[0];
	block.G[i] = bgra[1];
	block.R[i] = bgra[2];
	block.A[i] = bgra[3];
}

/// Reads `block.Count` plain float RGBA pixels starting at `pixels`.
inline void Load(const uint8_t* pixels, PixelBlock& block)
{
	int i = 0;
	for (; i + 8 <= block.Count; i += 8)
	{
		const uint8_t* from = pixels + i * PlainPixelBytes;
		Floats8 eight[4];
		for (int k = 0; k < 4; ++k)
			Get8(from + 32 * k, eight[k]);
		PutEight(eight, block, i);
	}
	for (; i < block.Count; ++i)
		PutOne(pixels + i * PlainPixelBytes, block, i);
}

using Floats4 = float __attribute__((vector_size(16)));
// The same, at any float's address in memory of any type.
typedef float LooseFloats4 __attribute__((vector_size(16), aligned(4), may_alias));

/// Reads `block.Count` plain float RGBA pixels, pixel i from `pixels[i]`:
/// as `Load` does, for pixels anywhere in memory.
inline void LoadScattered(const uint8_t* const* pixels, PixelBlock& block)
{
	int i = 0;
	for (; i + 8 <= block.Count; i += 8)
	{
		Floats8 eight[4];
		for (int k = 0; k < 4; ++k)
		{
			const Floats4 first = *reinterpret_cast<const LooseFloats4*>(pixels[i + 2 * k]);
			const Floats4 second = *reinterpret_cast<const LooseFloats4*>(pixels[i + 2 * k + 1]);
			eight[k] = __builtin_shufflevector(first, second, 0, 1, 2, 3, 4, 5, 6, 7);
		}
		PutEight(eight, block, i);
	}
	for (; i < block.Count; ++i)
		PutOne(pixels[i], block, i);
}

/// Puts eight floats at `at` (16-byte aligned) straight into memory, past the
/// caches: a frame too big to stay in them is not read in first only to be
/// overwritten, which costs a third of the memory traffic of a walk.
inline void Stream8(void* at, const Floats8& floats)
{
#if defined(__SSE__)
	float* to = static_cast<float*>(at);
	_mm_stream_ps(to, (__m128)__builtin_shufflevector(floats, floats, 0, 1, 2, 3));
	_mm_stream_ps(to + 4, (__m128)__builtin_shufflevector(floats, floats, 4, 5, 6, 7));
#else
	Put8(at, floats);
#endif
}

/// Whether a walk writes `output` with `Stream8`: when it is larger than half
/// a typical last-level cache, and its pixels are 16-byte aligned.
inline bool StreamsTo(const Image* output)
{
	constexpr size_t CachedBytes = size_t(16) << 20;
	return output && output->PixelCount() * PlainPixelBytes >= CachedBytes &&
	       reinterpret_cast<uintptr_t>(output->Data()) % 16 == 0;
}

/// Waits until streamed pixels are in memory, for whoever reads them next.
inline void EndStreaming()
{
#if defined(__SSE__)
	_mm_sfence();
#endif
}

/// Writes `block.Count` plain float RGBA pixels starting at `pixels`.
template <bool Streaming = false>
inline void Store(const PixelBlock& block, uint8_t* pixels)
{
	int i = 0;
	for (; i + 8 <= block.Count; i += 8)
	{
		Floats8 b, g, r, a, eight[4];
		Get8(block.B + i, b);
		Get8(block.G + i, g);
		Get8(block.R + i, r);
		Get8(block.A + i, a);
		Interleave(b, g, r, a, eight);
		uint8_t* to = pixels + i * PlainPixelBytes;
		for (int k = 0; k < 4; ++k)
			if constexpr (Streaming)
				Stream8(to + 32 * k, eight[k]);
			else
				Put8(to + 32 * k, eight[k]);
	}
	for (; i < block.Count; ++i)
	{
		const float bgra[4] = {block.B[i], block.G[i], block.R[i], block.A[i]};
		std::memcpy(pixels + i * PlainPixelBytes, bgra, sizeof bgra);
	}
}

/// Every image given is plain float RGBA; a missing image counts as plain.
inline bool AllPlain(const Image* input, const Image* side, const Image* output)
{
	return input->IsPlainFloatRGBA() && (!side || side->IsPlainFloatRGBA()) && (!output || output->IsPlainFloatRGBA());
}

/// Asks memory for the pixels of `image` a few blocks after the block at
/// byte `offset`. The processor's own prefetcher falls behind while a tool
/// spends longer on a block's arithmetic than on reading it.
inline void PrefetchAhead(const Image* image, size_t offset)
{
	constexpr size_t BlockBytes = PixelBlock::Capacity * PlainPixelBytes, CacheLine = 64;
	const size_t from = offset + 4 * BlockBytes;
	const size_t to = std::min(image->PixelCount() * PlainPixelBytes, from + BlockBytes);
	for (size_t at = from; at < to; at += CacheLine)
		__builtin_prefetch(image->Data() + at);
}

/// A part of a walk: pixels First .. End-1 of plain images, or rows
/// First .. End-1 through the cursors.
struct Span
{
	size_t First, End;
};

/// Plain images: blocks read straight from and written straight to memory.
template <class Step>
void WalkPlain(Image* input, Image* side, Image* output, Span pixels, bool stream, Step& step)
{
	PixelBlock block, sideBlock;
	for (size_t start = pixels.First; start < pixels.End; start += PixelBlock::Capacity)
	{
		const size_t offset = start * PlainPixelBytes;
		block.Count = static_cast<int>(std::min<size_t>(PixelBlock::Capacity, pixels.End - start));
		PrefetchAhead(input, offset);
		Load(input->Data() + offset, block);
		if (side)
		{
			PrefetchAhead(side, offset);
			sideBlock.Count = block.Count;
			Load(side->Data() + offset, sideBlock);
		}
		step(block, sideBlock);
		if (output)
		{
			if (stream)
				Store<true>(block, output->Data() + offset);
			else
				Store(block, output->Data() + offset);
		}
	}
	if (stream)
		EndStreaming();
}

/// Other layouts: blocks filled row by row through the cursors. The input's
/// pixels are kept whole, so that their auxiliary channels reach the output.
template <class Step>
void WalkCursors(Image* input, Image* side, Image* output, Span rows, Step& step)
{
	PixelBlock block, sideBlock;
	FltPixel pixels[PixelBlock::Capacity], sidePixel;
	PixPtr src(input), sideSrc(side), dst(output);
	for (int y = static_cast<int>(rows.First); y < static_cast<int>(rows.End); ++y)
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

/// One span of a walk, in the best build of the walk for the processor.
template <class Step>
QZ_PIXEL_LOOPS void WalkSpan(Image* input, Image* side, Image* output, bool plain, bool stream, Span span, Step& step)
{
	if (plain)
		WalkPlain(input, side, output, span, stream, step);
	else
		WalkCursors(input, side, output, span, step);
}

// Pixels in a span of a map: enough that handing a span to a thread costs
// little beside its pixels, few enough that the spans even out between
// threads. A whole number of blocks, so that blocks fall where they do in one
// span.
constexpr size_t SpanPixels = 64 * PixelBlock::Capacity;

/// How a walk cuts its images into spans for the worker pool: of pixels in
/// the plain layout, of whole rows in the others.
struct Spans
{
	size_t Units, PerSpan;

	Spans(const Image* input, bool plain)
		: Units(plain ? input->PixelCount() : static_cast<size_t>(input->Height)),
		  PerSpan(plain ? SpanPixels : std::max<size_t>(1, SpanPixels / std::max(input->Width, 1)))
	{
	}
	int Count() const { return static_cast<int>((Units + PerSpan - 1) / PerSpan); }
	Span operator[](int i) const { return {i * PerSpan, std::min(Units, (i + 1) * PerSpan)}; }
};

/// `step(block, sideBlock)` for every block of `input`. The side block holds
/// the pixels at the same places of `side` (an image of the same size) when
/// there is one; the block as the step leaves it is written to the same
/// places of `output` when there is one. Without an output the blocks come
/// in row order on the calling thread, so that a step may gather; with one,
/// spans of blocks run on the worker pool (`GetThreadCount()` threads), and
/// the step may be called on several threads at once.
template <class Step>
void Walk(Image* input, Image* side, Image* output, Step&& step)
{
	const bool plain = AllPlain(input, side, output);
	const bool stream = plain && StreamsTo(output);
	const Spans spans(input, plain);
	if (!output)
	{
		WalkSpan(input, side, output, plain, stream, Span{0, spans.Units}, step);
		return;
	}
	RunOnWorkers(spans.Count(), GetThreadCount(),
	             [&](int i) { WalkSpan(input, side, output, plain, stream, spans[i], step); });
}
}

/// Calls `visit(block)` for every block of pixels of `input`, in row order.
template <class Visit>
void VisitPixelBlocks(Image* input, Visit&& visit)
{
	pixelwalk::Walk(input, nullptr, nullptr, [&](PixelBlock& block, const PixelBlock&) { visit(block); });
}

/// Gathers a `Tally` over the blocks of pixels of `input`, spans of blocks
/// at once on the worker pool. Each span keeps a tally of its own, starting
/// from a copy of `start`, and takes its blocks in row order,
/// `gather(tally, block)`; the spans' tallies then go in row order to
/// `merge(total, tally)` on the calling thread, the total starting from
/// `start`. The result is that of one walk in row order when merging a
/// span's tally does what gathering its blocks did.
template <class Tally, class Gather, class Merge>
Tally GatherPixelBlocks(Image* input, const Tally& start, Gather&& gather, Merge&& merge)
{
	const bool plain = pixelwalk::AllPlain(input, nullptr, nullptr);
	const pixelwalk::Spans spans(input, plain);
	std::vector<Tally> tallies(spans.Count(), start);
	RunOnWorkers(spans.Count(), GetThreadCount(), [&](int i) {
		auto step = [&, &tally = tallies[i]](PixelBlock& block, const PixelBlock&) { gather(tally, block); };
		pixelwalk::WalkSpan(input, nullptr, nullptr, plain, false, spans[i], step);
	});
	Tally total = start;
	for (const Tally& tally : tallies)
		merge(total, tally);
	return total;
}

/// Turns each block of pixels of `input` into the pixels at the same places of
/// `output` (an image of the same size and layout), with the pixels at the
/// same places of `side` (an image of the same size, or null) at hand:
/// read, `change(block, sideBlock)`, write. Blocks are changed on several
/// threads at once: a change may depend on nothing but its blocks.
template <class Change>
void MapPixelBlocks(Image* input, Image* side, Image* output, Change&& change)
{
	pixelwalk::Walk(input, side, output, change);
}

/// Turns each pixel of `input` into the pixel at the same place of `output`
/// (an image of the same size and layout): read, `change(pixel)`, write, on
/// several threads at once, as `MapPixelBlocks` does.
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
