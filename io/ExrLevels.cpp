// The coarser levels of a mip-mapped or rip-mapped EXR part, made anew from
// the written picture: each level is the one before it shrunk by a box
// filter.
#include <Imath/half.h>
#include <OpenEXR/ImfTiledOutputPart.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "ExrFiles.h"
#include "qz/io/HalfFloats.h"

namespace
{
/// One channel of a level, rows top-down, in double: the filter's weighted
/// sums keep 32-bit unsigned values whole.
struct LevelPlane
{
	int Width = 0, Height = 0;
	std::vector<double> Values;
};

/// Fills `values` with row `row` (top-down) of one channel of a level.
using RowReader = std::function<void(int row, double* values)>;

/// A source pixel's share of a target pixel along one axis.
struct Overlap
{
	int Source, Target;
	double Weight;
};

// A box filter from `from` pixels to `to`: a target pixel covers from / to
// source pixels and takes each in proportion to how much of it it covers.
// In units where a source pixel is `to` wide and a target `from` wide,
// every share is a whole number, and a target's shares add up to `from`.
std::vector<Overlap> BoxWeights(int from, int to)
{
	std::vector<Overlap> weights;
	for (int64_t source = 0; source < from; ++source)
		for (int64_t target = source * to / from; target * from < (source + 1) * to; ++target)
		{
			const int64_t covered =
				std::min((source + 1) * to, (target + 1) * from) - std::max(source * to, target * from);
			weights.push_back({int(source), int(target), double(covered)});
		}
	return weights;
}

// Every channel of a `width` x `height` level, read row by row, shrunk to
// `toWidth` x `toHeight`: across each row, then down into the target rows
// each row covers. The filter keeps the mean of every channel.
std::vector<LevelPlane> Shrink(const std::vector<RowReader>& rows, int width, int height, int toWidth, int toHeight)
{
	const std::vector<Overlap> across = BoxWeights(width, toWidth), down = BoxWeights(height, toHeight);
	const double area = double(width) * height;
	std::vector<LevelPlane> levels;
	std::vector<double> row(width), shrunk(toWidth);
	for (const RowReader& rowAt : rows)
	{
		LevelPlane level{toWidth, toHeight, std::vector<double>(size_t(toWidth) * toHeight)};
		auto share = down.begin();
		for (int y = 0; y < height; ++y)
		{
			rowAt(y, row.data());
			std::fill(shrunk.begin(), shrunk.end(), 0.0);
			for (const Overlap& w : across)
				shrunk[w.Target] += w.Weight * row[w.Source];
			for (; share != down.end() && share->Source == y; ++share)
			{
				double* target = level.Values.data() + size_t(share->Target) * toWidth;
				for (int x = 0; x < toWidth; ++x)
					target[x] += share->Weight * shrunk[x];
			}
		}
		for (double& value : level.Values)
			value /= area;
		levels.push_back(std::move(level));
	}
	return levels;
}

std::vector<RowReader> RowsOf(const std::vector<LevelPlane>& levels)
{
	std::vector<RowReader> rows;
	for (const LevelPlane& level : levels)
		rows.push_back([&level](int row, double* values) {
			const double* from = level.Values.data() + size_t(row) * level.Width;
			std::copy(from, from + level.Width, values);
		});
	return rows;
}

// Level 0 of a written channel: the picture's float values (before any
// rounding to the written type), or a carried channel as stored.
RowReader TopRows(const Image& pixels, const FileContext* context, const WrittenChannel& channel)
{
	const int width = pixels.Width;
	if (channel.Slot >= 0)
	{
		const float* picture = reinterpret_cast<const float*>(pixels.Data()) + channel.Slot;
		const int height = pixels.Height;
		return [=](int row, double* values) {
			const float* from = picture + size_t(height - 1 - row) * width * 4;  // the picture's rows run bottom-up
			for (int x = 0; x < width; ++x)
				values[x] = from[4 * x];
		};
	}
	const CarriedChannel& carried = context->Carried[channel.Carried];
	const StoredType type = context->Channels[carried.Channel].Type;
	const size_t size = SizeOf(type);
	const unsigned char* plane = carried.Plane.data();
	return [=](int row, double* values) {
		const unsigned char* from = plane + size_t(row) * width * size;
		for (int x = 0; x < width; ++x, from += size)
			if (type == StoredType::Half)
			{
				uint16_t bits;
				std::memcpy(&bits, from, 2);
				values[x] = float(Imath::half(Imath::half::FromBits, bits));
			}
			else if (type == StoredType::UInt32)
			{
				uint32_t value;
				std::memcpy(&value, from, 4);
				values[x] = value;
			}
			else
			{
				float value;
				std::memcpy(&value, from, 4);
				values[x] = value;
			}
	};
}

// A level's values in the file's type: half and float round to the nearest,
// unsigned int to the nearest whole number within its range (NaN writes 0).
std::vector<unsigned char> StoredLevel(const LevelPlane& level, Imf::PixelType type)
{
	const size_t count = level.Values.size();
	std::vector<unsigned char> stored(count * (type == Imf::HALF ? 2 : 4));
	if (type == Imf::UINT)
	{
		for (size_t i = 0; i < count; ++i)
		{
			const double value = std::round(level.Values[i]);
			const uint32_t whole = value > 0 ? value < 4294967295.0 ? uint32_t(value) : UINT32_MAX : 0;
			std::memcpy(stored.data() + 4 * i, &whole, 4);
		}
		return stored;
	}
	const std::vector<float> values(level.Values.begin(), level.Values.end());
	if (type == Imf::HALF)
		ToHalf(values.data(), 1, stored.data(), static_cast<int>(count));
	else
		std::memcpy(stored.data(), values.data(), 4 * count);
	return stored;
}

}

void WriteTiledPart(Imf::MultiPartOutputFile& out, int index, const Imf::FrameBuffer& top, const Image& pixels,
                    const FileContext* context, const std::vector<WrittenChannel>& channels)
{
	Imf::TiledOutputPart part(out, index);
	part.setFrameBuffer(top);
	part.writeTiles(0, part.numXTiles(0) - 1, 0, part.numYTiles(0) - 1, 0, 0);
	if (part.levelMode() == Imf::ONE_LEVEL)
		return;
	const auto write = [&](const std::vector<LevelPlane>& levels, int lx, int ly) {
		Imf::FrameBuffer frame;
		std::vector<std::vector<unsigned char>> stored;
		stored.reserve(levels.size());
		const Imath::Box2i box = part.dataWindowForLevel(lx, ly);
		for (size_t c = 0; c < channels.size(); ++c)
		{
			const Imf::PixelType type = PixelTypeOf(channels[c].Type);
			const size_t size = type == Imf::HALF ? 2 : 4;
			stored.push_back(StoredLevel(levels[c], type));
			frame.insert(channels[c].Name,
			             Imf::Slice::Make(type, stored.back().data(), box, size, size * levels[c].Width));
		}
		part.setFrameBuffer(frame);
		part.writeTiles(0, part.numXTiles(lx) - 1, 0, part.numYTiles(ly) - 1, lx, ly);
	};
	std::vector<RowReader> topRows;
	for (const WrittenChannel& channel : channels)
		topRows.push_back(TopRows(pixels, context, channel));
	const auto width = [&](int lx) { return part.levelWidth(lx); };
	const auto height = [&](int ly) { return part.levelHeight(ly); };
	if (part.levelMode() == Imf::MIPMAP_LEVELS)
	{
		std::vector<LevelPlane> level;
		for (int l = 1; l < part.numLevels(); ++l)
		{
			level = Shrink(l == 1 ? topRows : RowsOf(level), width(l - 1), height(l - 1), width(l), height(l));
			write(level, l, l);
		}
		return;
	}
	// A rip-map: the first level of each row of levels from the one above
	// it, the others from the one before them.
	std::vector<LevelPlane> first, level;
	for (int ly = 0; ly < part.numYLevels(); ++ly)
	{
		if (ly > 0)
		{
			first = Shrink(ly == 1 ? topRows : RowsOf(first), width(0), height(ly - 1), width(0), height(ly));
			write(first, 0, ly);
		}
		for (int lx = 1; lx < part.numXLevels(); ++lx)
		{
			level = Shrink(lx > 1 ? RowsOf(level) : ly > 0 ? RowsOf(first) : topRows, width(lx - 1), height(ly),
			               width(lx), height(ly));
			write(level, lx, ly);
		}
	}
}
