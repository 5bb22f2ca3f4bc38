// Tiled EXR parts through ReadPicture and WritePicture: the tile description
// comes back whole and the coarser levels are made anew from the written
// picture by the box filter. Inputs are made and outputs read back with
// OpenEXR directly, not with qz's code.
#include <gtest/gtest.h>

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfTiledInputFile.h>
#include <OpenEXR/ImfTiledOutputFile.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "qz/io/ImageFiles.h"

namespace fs = std::filesystem;

namespace
{
// The data window starts away from 0 on both axes, and its size is odd on
// both, so that rounding a level's size down or up differs.
const Imath::Box2i DataWindow({-3, 5}, {33, 25});  // 37 x 21
constexpr int Width = 37, Height = 21;

struct Carried
{
	const char* Name;
	Imf::PixelType Type;
	float Value;  // everywhere; exact in every type
};

// The picture's channels at level 0, by position u, v in the data window:
// ramps across and down, so a level's values follow from its footprints.
float PictureValue(const std::string& channel, int u, int v)
{
	return channel == "R" ? float(u) : channel == "G" ? float(v) : channel == "B" ? 0.5f : 1.0f;
}

// `values` in `type`, as a tiled file takes them (in its own channel types only).
std::vector<unsigned char> Stored(const std::vector<float>& values, Imf::PixelType type)
{
	std::vector<unsigned char> bytes(values.size() * (type == Imf::HALF ? 2 : 4));
	for (size_t i = 0; i < values.size(); ++i)
		if (type == Imf::HALF)
		{
			const Imath::half value(values[i]);
			std::memcpy(bytes.data() + 2 * i, &value, 2);
		}
		else if (type == Imf::UINT)
		{
			const unsigned int value(values[i]);
			std::memcpy(bytes.data() + 4 * i, &value, 4);
		}
		else
			std::memcpy(bytes.data() + 4 * i, &values[i], 4);
	return bytes;
}

// A tiled file whose coarser levels hold 9, which no level made from its
// level 0 holds.
void WriteTiled(const std::string& path, const Imf::TileDescription& tiles, Imf::PixelType picture,
                const Carried& carried)
{
	Imf::Header header(Imath::Box2i({0, 0}, {31, 23}), DataWindow);
	header.compression() = Imf::ZIP_COMPRESSION;
	header.setTileDescription(tiles);
	const std::string along = carried.Name;
	for (const char* name : {"R", "G", "B", "A"})
		header.channels().insert(name, Imf::Channel(picture));
	header.channels().insert(along, Imf::Channel(carried.Type));
	Imf::TiledOutputFile out(path.c_str(), header);
	for (int ly = 0; ly < out.numYLevels(); ++ly)
		for (int lx = 0; lx < out.numXLevels(); ++lx)
		{
			if (!out.isValidLevel(lx, ly))
				continue;
			std::vector<std::vector<unsigned char>> planes;
			Imf::FrameBuffer frame;
			for (const std::string& name : std::vector<std::string>{"R", "G", "B", "A", along})
			{
				std::vector<float> values;
				for (int v = 0; v < out.levelHeight(ly); ++v)
					for (int u = 0; u < out.levelWidth(lx); ++u)
						values.push_back(lx || ly ? 9.0f : name == along ? carried.Value : PictureValue(name, u, v));
				const Imf::PixelType type = name == along ? carried.Type : picture;
				planes.push_back(Stored(values, type));
				frame.insert(name, Imf::Slice::Make(type, planes.back().data(), out.dataWindowForLevel(lx, ly)));
			}
			out.setFrameBuffer(frame);
			out.writeTiles(0, out.numXTiles(lx) - 1, 0, out.numYTiles(ly) - 1, lx, ly);
		}
}

// Level (lx, ly) of a tiled file, every channel as float, rows top-down.
std::map<std::string, std::vector<float>> ReadLevel(Imf::TiledInputFile& in, int lx, int ly)
{
	const Imath::Box2i box = in.dataWindowForLevel(lx, ly);
	std::map<std::string, std::vector<float>> planes;
	Imf::FrameBuffer frame;
	for (auto channel = in.header().channels().begin(); channel != in.header().channels().end(); ++channel)
	{
		std::vector<float>& plane = planes[channel.name()];
		plane.resize(size_t(in.levelWidth(lx)) * in.levelHeight(ly));
		frame.insert(channel.name(), Imf::Slice::Make(Imf::FLOAT, plane.data(), box));
	}
	in.setFrameBuffer(frame);
	in.readTiles(0, in.numXTiles(lx) - 1, 0, in.numYTiles(ly) - 1, lx, ly);
	return planes;
}
}

TEST(TiledExrFiles, TilesComeBackAndEveryResolutionIsMadeAnewFromThePicture)
{
	const fs::path dir = fs::temp_directory_path() / ("qz-tiled-" + std::to_string(::getpid()));
	fs::create_directories(dir);
	struct Case
	{
		const char* Name;
		Imf::TileDescription Tiles;
		Imf::PixelType Picture;
		Carried Along;
		WriteSettings Settings;
		Imf::PixelType Written;  // the picture's channels in the output
		Imf::Compression Compression;
		// Level sizes across and down, by hand: 37 and 21 halved, rounded
		// down or up, to 1.
		std::vector<int> Widths, Heights;
		// R and G of pixel (0, 0) of level (1, 1): its footprint covers the
		// first columns 1, 1 and 1/18 (down: 37 / 18 wide) or 1 and 18/19 (up:
		// 37 / 19 wide), and the first rows 1, 1 and 1/10 or 1 and 10/11.
		float R1, G1;
	};
	const WriteSettings keep;
	const WriteSettings halfPiz{StoredType::Half, "piz", "", ""};
	const Case cases[] = {
		{"one level", {16, 8, Imf::ONE_LEVEL, Imf::ROUND_DOWN}, Imf::FLOAT, {"Z", Imf::FLOAT, 2.5f}, keep, Imf::FLOAT,
		 Imf::ZIP_COMPRESSION, {37}, {21}, 0, 0},
		{"mip-map down", {8, 8, Imf::MIPMAP_LEVELS, Imf::ROUND_DOWN}, Imf::HALF, {"id", Imf::UINT, 3}, keep,
		 Imf::HALF, Imf::ZIP_COMPRESSION, {37, 18, 9, 4, 2, 1}, {21, 10, 5, 2, 1, 1},
		 (0 * 18 + 1 * 18 + 2 * 1) / 37.0f, (0 * 10 + 1 * 10 + 2 * 1) / 21.0f},
		{"rip-map up", {16, 4, Imf::RIPMAP_LEVELS, Imf::ROUND_UP}, Imf::FLOAT, {"Z", Imf::HALF, 0.75f}, keep,
		 Imf::FLOAT, Imf::ZIP_COMPRESSION, {37, 19, 10, 5, 3, 2, 1}, {21, 11, 6, 3, 2, 1},
		 (0 * 19 + 1 * 18) / 37.0f, (0 * 11 + 1 * 10) / 21.0f},
		{"mip-map up, -d half, piz", {32, 32, Imf::MIPMAP_LEVELS, Imf::ROUND_UP}, Imf::FLOAT, {"Z", Imf::FLOAT, 2.5f},
		 halfPiz, Imf::HALF, Imf::PIZ_COMPRESSION, {37, 19, 10, 5, 3, 2, 1}, {21, 11, 6, 3, 2, 1, 1},
		 (0 * 19 + 1 * 18) / 37.0f, (0 * 11 + 1 * 10) / 21.0f},
	};
	for (const Case& c : cases)
	{
		SCOPED_TRACE(c.Name);
		const std::string input = (dir / "in.exr").string(), output = (dir / "out.exr").string();
		WriteTiled(input, c.Tiles, c.Picture, c.Along);
		const Picture picture = ReadPicture(ImageSource::Parse(input));
		WritePicture(*picture.Pixels, picture.Context.get(), output, c.Settings);

		Imf::TiledInputFile in(output.c_str());
		const Imf::TileDescription tiles = in.header().tileDescription();
		EXPECT_EQ(tiles.xSize, c.Tiles.xSize);
		EXPECT_EQ(tiles.ySize, c.Tiles.ySize);
		EXPECT_EQ(tiles.mode, c.Tiles.mode);
		EXPECT_EQ(tiles.roundingMode, c.Tiles.roundingMode);
		EXPECT_EQ(in.header().compression(), c.Compression);
		EXPECT_EQ(in.header().channels().findChannel("R")->type, c.Written);
		EXPECT_EQ(in.header().channels().findChannel(c.Along.Name)->type, c.Along.Type);
		ASSERT_EQ(in.numXLevels(), int(c.Widths.size()));
		ASSERT_EQ(in.numYLevels(), int(c.Heights.size()));

		const float tolerance = c.Written == Imf::HALF ? 1.0f / 1024 : 1e-6f;  // relative
		for (int ly = 0; ly < in.numYLevels(); ++ly)
			for (int lx = 0; lx < in.numXLevels(); ++lx)
			{
				if (!in.isValidLevel(lx, ly))
					continue;
				SCOPED_TRACE("level " + std::to_string(lx) + ", " + std::to_string(ly));
				const int w = c.Widths[lx], h = c.Heights[ly];
				EXPECT_EQ(in.dataWindowForLevel(lx, ly), Imath::Box2i(DataWindow.min, DataWindow.min + Imath::V2i(w - 1, h - 1)));
				std::map<std::string, std::vector<float>> level = ReadLevel(in, lx, ly);
				for (int v = 0; v < h; ++v)
					for (int u = 0; u < w; ++u)
					{
						const size_t at = size_t(v) * w + u;
						if (lx == 0 && ly == 0)  // the picture, exactly
						{
							for (const char* name : {"R", "G", "B", "A"})
								EXPECT_EQ(level[name][at], PictureValue(name, u, v)) << name << " at " << u << ", " << v;
						}
						// A box filter keeps constants, keeps a ramp along an axis it
						// leaves whole, and leaves the mean where it shrinks an axis to one pixel.
						EXPECT_NEAR(level["B"][at], 0.5f, 0.5f * tolerance);
						EXPECT_EQ(level["A"][at], 1.0f);
						EXPECT_EQ(level[c.Along.Name][at], c.Along.Value);
						if (w == Width || w == 1)
						{
							EXPECT_NEAR(level["R"][at], w == 1 ? (Width - 1) / 2.0f : u, 18 * tolerance);
						}
						if (h == Height || h == 1)
						{
							EXPECT_NEAR(level["G"][at], h == 1 ? (Height - 1) / 2.0f : v, 10 * tolerance);
						}
					}
				if (lx == 1 && ly == 1)
				{
					EXPECT_NEAR(level["R"][0], c.R1, c.R1 * tolerance);
					EXPECT_NEAR(level["G"][0], c.G1, c.G1 * tolerance);
				}
			}
	}
	fs::remove_all(dir);
}
