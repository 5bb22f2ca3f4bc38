// UV unwrapper: the inverse of the UV positioner. Every pixel of a render is
// scattered into texture space, to the position its UV pass names; what no
// pixel reaches stays transparent black. Optionally each pixel is averaged
// with its neighbours first, and written as a 2 x 2 block to close holes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/UVunwrap.h"
#include "UVCoordinates.h"

class UVunwrap : public ThreadedOperator
{
public:
	UVunwrap(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~UVunwrap() override = default;
	int SizeOf() override { return sizeof(UVunwrap); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InSwap, *InFlipX, *InFlipY, *InInterpolateSamples, *InInterpolatePixels, *InImage, *InUV;
	Output* OutImage;

	static const std::vector<InputDecl<UVunwrap>>& Declarations();
	static void UnwrapPlain(Image& image, Image& uvPass, const UVOptions& options, bool average, bool block,
	                        Image& output);
	static void UnwrapThroughCursors(Image& image, Image& uvPass, const UVOptions& options, bool average, bool block,
	                                 Image& output);
};

using namespace Attr;

const std::vector<InputDecl<UVunwrap>>& UVunwrap::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, checkbox{Control, CLSID_InputControl_Checkbox};
	const DeclTag image{DataType, CLSID_DataType_Image};
	static const std::vector<InputDecl<UVunwrap>> inputs = {
		{&UVunwrap::InLabel, "Unwrap image by UV", "UVunwrap", LabelTags()},
		{&UVunwrap::InSwap, "Swap UV", "Swap", {number, checkbox, {Default, 0.0}}},
		{&UVunwrap::InFlipX, "Flip X", "Flipx", {number, checkbox, {Default, 0.0}}},
		{&UVunwrap::InFlipY, "Flip Y", "Flipy", {number, checkbox, {Default, 0.0}}},
		{&UVunwrap::InInterpolateSamples, "Interpolate samples", "InterpolateSamples", {number, checkbox, {Default, 0.0}}},
		{&UVunwrap::InInterpolatePixels, "Interpolate pixel setting", "Interpolate pixel setting",
		 {number, checkbox, {Default, 0.0}}},
		{&UVunwrap::InImage, "Image", "Image", {image, {MainIndex, 1}, {Required, 1}}},
		{&UVunwrap::InUV, "UV", "UV", {image, {MainIndex, 2}, {Required, 1}}},
	};
	return inputs;
}

UVunwrap::UVunwrap(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &UVunwrap::OutImage);
}

namespace UVunwrapKernel
{
/// Target position of one axis in pixels: p = size * c, with no shift, then
/// p < 0 becomes 0 and p >= size becomes size - 1. A position inside keeps
/// its fraction; not a number stays not a number.
double TargetPosition(double c, double size)
{
	double p = size * c;
	if (p < 0)
		p = 0;
	if (p >= size)
		p = size - 1;
	return p;
}

/// Replaces R, G, B and A of `pixel`, the image pixel at (x, y), by their
/// means over it and its neighbours inside the image: sums in double of the
/// pixel, then left, right, below and above where they exist, divided by the
/// count (5 inside, 4 on an edge, 3 in a corner, 1 in a 1 x 1 image).
void AverageWithNeighbours(PixPtr& image, int x, int y, int width, int height, FltPixel& pixel)
{
	double r = pixel.R, g = pixel.G, b = pixel.B, a = pixel.A;
	int count = 1;
	const int neighbours[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
	FltPixel next;
	for (const auto& [nx, ny] : neighbours)
	{
		if (nx < 0 || ny < 0 || nx >= width || ny >= height)
			continue;
		image.GetPixel(nx, ny, next);
		r += next.R;
		g += next.G;
		b += next.B;
		a += next.A;
		++count;
	}
	pixel.R = static_cast<float>(r / count);
	pixel.G = static_cast<float>(g / count);
	pixel.B = static_cast<float>(b / count);
	pixel.A = static_cast<float>(a / count);
}

namespace
{
/// `Place` through `write(column, row)`.
template <class Write>
void PlaceWith(double u, double v, double width, double height, bool block, Write&& write)
{
	const int column = static_cast<int>(u), row = static_cast<int>(v);
	write(column, row);
	if (!block)
		return;
	const bool above = v + 1.0 < height, right = u + 1.0 < width;
	if (above)
		write(column, row + 1);
	if (right)
		write(column + 1, row);
	if (above && right)
		write(column + 1, row + 1);
}
}

/// Writes `pixel` at (trunc u, trunc v), u and v inside the output; as a
/// block also at (u, v + 1) when v + 1 < height, at (u + 1, v) when
/// u + 1 < width, and at (u + 1, v + 1) when both hold, in that order.
void Place(PixPtr& out, double u, double v, double width, double height, bool block, const FltPixel& pixel)
{
	PlaceWith(u, v, width, height, block, [&](int column, int row) { out.SetPixel(column, row, pixel); });
}
}

namespace
{
/// Which pixels of a plain output have been written, so that only the others
/// are cleared at the end rather than all of them first. One byte each:
/// marking a pixel is then a store of its own, where bits would have each
/// mark wait for the one before in the same word.
class WrittenPixels
{
public:
	explicit WrittenPixels(size_t count) : Flags(count, 0) {}

	/// Where `Mark` sets marks.
	uint8_t* Marks() { return Flags.data(); }

	static void Mark(uint8_t* marks, size_t index) { marks[index] = 1; }

	/// Sets every pixel of `image` (plain float RGBA) not marked to 0,
	/// skipping eight marked pixels at a time.
	void ClearOthers(Image& image) const
	{
		constexpr uint64_t AllMarked = 0x0101010101010101u;
		const size_t count = Flags.size();
		size_t i = 0;
		while (i < count)
		{
			uint64_t eight = 0;
			if (i + 8 <= count)
				std::memcpy(&eight, Flags.data() + i, sizeof eight);
			if (eight == AllMarked)
			{
				i += 8;
				continue;
			}
			for (const size_t end = std::min(count, i + 8); i < end; ++i)
				if (!Flags[i])
					std::memset(image.Data() + i * pixelwalk::PlainPixelBytes, 0, pixelwalk::PlainPixelBytes);
		}
	}

private:
	std::vector<uint8_t> Flags;
};
}

using namespace UVunwrapKernel;

void UVunwrap::Process(Request* request)
{
	const UVOptions options{NumberValue(InSwap, request) != 0.0, NumberValue(InFlipX, request) != 0.0,
	                        NumberValue(InFlipY, request) != 0.0};
	const bool average = NumberValue(InInterpolateSamples, request) != 0.0;
	const bool block = NumberValue(InInterpolatePixels, request) != 0.0;
	Image* image = ImageValue(InImage, request);
	Image* uvPass = ImageValue(InUV, request);
	if (!image || !uvPass)
		return;
	Image* output = NewImageLike(image);
	const bool sameSize = image->Width == uvPass->Width && image->Height == uvPass->Height;
	if (sameSize && image->IsPlainFloatRGBA() && uvPass->IsPlainFloatRGBA())
		UnwrapPlain(*image, *uvPass, options, average, block, *output);
	else
	{
		output->Fill(0, 0, 0, 0);
		if (sameSize)
			UnwrapThroughCursors(*image, *uvPass, options, average, block, *output);
	}
	OutImage->Set(request, output, nullptr);
}

/// Plain float RGBA images: the UV pass is walked in blocks whose target
/// positions are computed side by side; pixels are copied in place.
void UVunwrap::UnwrapPlain(Image& image, Image& uvPass, const UVOptions& options, bool average, bool block,
                           Image& output)
{
	const double width = image.Width, height = image.Height;
	constexpr size_t PixelBytes = pixelwalk::PlainPixelBytes;
	WrittenPixels written(output.PixelCount());
	PixPtr neighbours(&image);
	size_t start = 0;
	VisitPixelBlocks(&uvPass, [&](const PixelBlock& uvBlock) {
		// Locals, which the pixel copies below cannot change for all the compiler knows.
		uint8_t* const marks = written.Marks();
		const uint8_t* const pixels = image.Data();
		uint8_t* const out = output.Data();
		const size_t imageWidth = image.Width;
		const size_t first = start;
		const int count = uvBlock.Count;

		// Target positions side by side; a UV that is not a number names no
		// position, and its pixel is dropped (row -1).
		double us[PixelBlock::Capacity], vs[PixelBlock::Capacity];
		int columns[PixelBlock::Capacity], rows[PixelBlock::Capacity];
		for (int i = 0; i < count; ++i)
		{
			const UVPosition uv = ReadUV(uvBlock.Pixel(i), options);
			us[i] = TargetPosition(uv.U, width);
			vs[i] = TargetPosition(uv.V, height);
			const bool named = !std::isnan(us[i]) & !std::isnan(vs[i]);
			columns[i] = named ? static_cast<int>(us[i]) : 0;
			rows[i] = named ? static_cast<int>(vs[i]) : -1;
		}
		pixelwalk::PrefetchAhead(&image, first * PixelBytes);
		const auto write = [&](const void* pixel, int column, int row) {
			const size_t at = static_cast<size_t>(row) * imageWidth + column;
			std::memcpy(out + at * PixelBytes, pixel, PixelBytes);
			WrittenPixels::Mark(marks, at);
		};
		if (!average && !block)
		{
			for (int i = 0; i < count; ++i)
				if (rows[i] >= 0)
					write(pixels + (first + i) * PixelBytes, columns[i], rows[i]);
		}
		else
			for (int i = 0; i < count; ++i)
			{
				if (rows[i] < 0)
					continue;
				const size_t index = first + i;
				FltPixel pixel;
				std::memcpy(&pixel.B, pixels + index * PixelBytes, PixelBytes);
				if (average)
					AverageWithNeighbours(neighbours, static_cast<int>(index % imageWidth),
					                      static_cast<int>(index / imageWidth), image.Width, image.Height, pixel);
				PlaceWith(us[i], vs[i], width, height, block,
				          [&](int column, int row) { write(&pixel.B, column, row); });
			}
		start += count;
	});
	written.ClearOthers(output);
}

/// Other layouts, pixel by pixel through cursors, on an output cleared first.
void UVunwrap::UnwrapThroughCursors(Image& image, Image& uvPass, const UVOptions& options, bool average, bool block,
                                    Image& output)
{
	const double width = image.Width, height = image.Height;
	// Neighbours are read through their own cursor, so the row walk of
	// `source` is not disturbed.
	PixPtr uvCursor(&uvPass), source(&image), neighbours(&image), out(&output);
	FltPixel uvPixel, pixel;
	for (int y = 0; y < image.Height; ++y)
	{
		uvCursor.GotoXY(0, y);
		source.GotoXY(0, y);
		for (int x = 0; x < image.Width; ++x)
		{
			uvPixel >>= uvCursor;
			pixel >>= source;
			const UVPosition uv = ReadUV(uvPixel, options);
			const double u = TargetPosition(uv.U, width), v = TargetPosition(uv.V, height);
			// A UV that is not a number names no position: the pixel is dropped.
			if (std::isnan(u) || std::isnan(v))
				continue;
			if (average)
				AverageWithNeighbours(neighbours, x, y, image.Width, image.Height, pixel);
			Place(out, u, v, width, height, block, pixel);
		}
	}
}

QZ_REGISTER_TOOL(UVunwrap, "Korvane.UVunwrap",
                 {"UVunwrap", "QZ_Tools\\UVTools", "UVunwrap", "UV unwrapper", IconDissolve, true, true});
