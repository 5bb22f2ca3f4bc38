// Damaged and hostile files through `qz run`: each is refused with exit
// status 1 and one clean line on stderr, and leaves no output behind; damage
// that OpenEXR repairs reads exactly. The files are written whole with
// OpenEXR and OpenImageIO, then cut or patched where a search of their bytes
// finds the attribute to damage.
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfDeepFrameBuffer.h>
#include <OpenEXR/ImfDeepScanLineOutputFile.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfOutputPart.h>
#include <OpenEXR/ImfPartType.h>
#include <OpenEXR/ImfStdIO.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <array>
#include <cstring>
#include <deque>
#include <tuple>
#include <nlohmann/json.hpp>

#include "QzFixture.h"

namespace
{
struct ChannelOf
{
	std::string Name;
	int Sampling = 1;
};

// A scanline part of float channels, uncompressed, with a string attribute
// whose size a case can damage.
Imf::Header Flat(int width, int height, const std::vector<ChannelOf>& channels, const std::string& name = "")
{
	Imf::Header header(width, height);
	header.compression() = Imf::NO_COMPRESSION;
	header.insert("comments", Imf::StringAttribute("a frame"));
	for (const ChannelOf& channel : channels)
		header.channels().insert(channel.Name, Imf::Channel(Imf::FLOAT, channel.Sampling, channel.Sampling));
	if (!name.empty())
		header.setName(name);
	header.setType(Imf::SCANLINEIMAGE);
	return header;
}

// The bytes of an EXR file of these scanline parts (one: a single-part
// file), every sample 0.5.
std::string ExrBytes(const std::vector<Imf::Header>& parts)
{
	Imf::StdOSStream stream;
	{
		Imf::MultiPartOutputFile out(stream, parts.data(), static_cast<int>(parts.size()));
		for (int p = 0; p < static_cast<int>(parts.size()); ++p)
		{
			const Imath::Box2i data = parts[p].dataWindow();
			const int width = data.max.x - data.min.x + 1, height = data.max.y - data.min.y + 1;
			std::deque<std::vector<float>> planes;  // stays where the slices point as it grows
			Imf::FrameBuffer frame;
			for (auto channel = parts[p].channels().begin(); channel != parts[p].channels().end(); ++channel)
			{
				const int xs = channel.channel().xSampling, ys = channel.channel().ySampling;
				planes.emplace_back(static_cast<size_t>(width / xs) * (height / ys), 0.5f);
				frame.insert(channel.name(), Imf::Slice::Make(Imf::FLOAT, planes.back().data(), data, sizeof(float),
				                                              sizeof(float) * (width / xs), xs, ys));
			}
			Imf::OutputPart part(out, p);
			part.setFrameBuffer(frame);
			part.writePixels(height);
		}
	}
	return stream.str();
}

// A file of one deep scanline part, one Z sample per pixel.
std::string DeepBytes(int width, int height)
{
	Imf::Header header(width, height);
	header.channels().insert("Z", Imf::Channel(Imf::FLOAT));
	header.setType(Imf::DEEPSCANLINE);
	header.compression() = Imf::ZIPS_COMPRESSION;
	Imf::StdOSStream stream;
	{
		Imf::DeepScanLineOutputFile out(stream, header);
		std::vector<unsigned> counts(width * height, 1);
		std::vector<float> depths(width * height, 2.0f);
		std::vector<float*> samples(width * height);
		for (size_t i = 0; i < samples.size(); ++i)
			samples[i] = &depths[i];
		Imf::DeepFrameBuffer frame;
		frame.insertSampleCountSlice(Imf::Slice(Imf::UINT, reinterpret_cast<char*>(counts.data()), sizeof(unsigned),
		                                        sizeof(unsigned) * width));
		frame.insert("Z", Imf::DeepSlice(Imf::FLOAT, reinterpret_cast<char*>(samples.data()), sizeof(float*),
		                                 sizeof(float*) * width, sizeof(float)));
		out.setFrameBuffer(frame);
		out.writePixels(height);
	}
	return stream.str();
}

// A file of another format as OpenImageIO writes it: 32 x 32 of noise.
std::string ImageBytes(const std::string& path)
{
	OIIO::ImageBuf noise(OIIO::ImageSpec(32, 32, 3, OIIO::TypeDesc::UINT8));
	OIIO::ImageBufAlgo::noise(noise, "uniform", 0.0f, 1.0f);
	EXPECT_TRUE(noise.write(path)) << noise.geterror();
	std::ifstream in(path, std::ios::binary);
	return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Where the value of attribute `name` of `type` begins (after its size).
size_t ValueOf(const std::string& bytes, const std::string& name, const std::string& type)
{
	const std::string key = name + '\0' + type + '\0';
	const size_t at = bytes.find(key);
	EXPECT_NE(at, std::string::npos) << name;
	return at == std::string::npos ? 0 : at + key.size() + 4;
}

// Where a single-part file's chunk offset table begins: after the header's
// attributes (name, type, size, value) and the null byte that ends them.
size_t OffsetTableOf(const std::string& bytes)
{
	size_t at = 8;  // magic number and version
	while (bytes.at(at) != '\0')
	{
		at = bytes.find('\0', bytes.find('\0', at) + 1) + 1;
		int32_t size;
		std::memcpy(&size, &bytes.at(at), sizeof size);
		at += sizeof size + size;
	}
	return at + 1;
}

template <typename T>
std::string Patched(std::string bytes, size_t at, const T& value)
{
	std::memcpy(&bytes.at(at), &value, sizeof value);
	return bytes;
}

// One line `qz: ...`, free of control bytes and valid UTF-8.
void ExpectOneCleanLine(const std::string& err, const std::string& name)
{
	ASSERT_FALSE(err.empty()) << name;
	EXPECT_EQ(err.rfind("qz: ", 0), 0u) << name << ": " << err;
	EXPECT_EQ(err.find('\n'), err.size() - 1) << name << ": " << err;
	for (size_t i = 0; i + 1 < err.size(); ++i)
		EXPECT_TRUE(static_cast<unsigned char>(err[i]) >= 0x20 && err[i] != 0x7f)
			<< name << ": byte " << i << " of " << err;
	EXPECT_NO_THROW(nlohmann::json(err).dump()) << name << ": the line is no valid UTF-8";
}

// A file of 16 x 16 pixels, R, G and B, uncompressed: 16 chunks of one row.
std::string GoodExr()
{
	return ExrBytes({Flat(16, 16, {{"R"}, {"G"}, {"B"}})});
}
}

TEST_F(Qz, DamagedFilesAreRefusedWithOneCleanLine)
{
	// A generous bound on each run: a hang fails the case, a slow run does not.
	Program = "timeout -s KILL 20 " + Program;

	const std::string good = GoodExr();
	const size_t table = OffsetTableOf(good), pixels = table + 16 * sizeof(uint64_t);
	ASSERT_LT(pixels, good.size());
	const size_t dataWindow = ValueOf(good, "dataWindow", "box2i");
	const size_t comments = ValueOf(good, "comments", "string") - 4;  // the attribute's size
	const std::string png = ImageBytes(Path("good.png")), tiff = ImageBytes(Path("good.tif"));
	fs::remove(Path("good.png"));
	fs::remove(Path("good.tif"));

	struct Case
	{
		std::string Name;  // of the file, in the scratch folder
		std::string Bytes;
		std::string Selection = "";  // after the path in -i
		std::string Says = "";       // a part of the message
	};
	const std::vector<Case> cases = {
		{"header-cut.exr", good.substr(0, dataWindow + 6)},
		{"table-cut.exr", good.substr(0, table + 20)},
		{"pixels-cut.exr", good.substr(0, pixels + (good.size() - pixels) / 2)},
		{"huge-window.exr", Patched(good, dataWindow, std::array<int32_t, 4>{0, 0, 3999, 3999})},
		{"tall-window.exr", Patched(good, dataWindow, std::array<int32_t, 4>{0, 0, 15, 199})},
		{"endless-window.exr", Patched(good, dataWindow, std::array<int32_t, 4>{0, 0, 0, 0x0ffffff0})},
		{"negative-window.exr", Patched(good, dataWindow, std::array<int32_t, 4>{0, 0, -9, 15})},
		{"negative-size.exr", Patched(good, comments, int32_t(-8))},
		{"absurd-size.exr", Patched(good, comments, int32_t(0x7ffffff0)), "",
		 "attribute \"comments\" claims 2147483632 bytes, more than the file holds"},
		{"channel-names.exr", ExrBytes({Flat(4, 4, {{"\x1e"}, {"\xff\xfe"}})}), "", "channels \\x1e \\xff\\xfe"},
		{"layer-names.exr", ExrBytes({Flat(4, 4, {{"n\x1e.X"}, {"n\x1e.Y"}, {"\xff\xfe.Z"}})}), "",
		 "layers n\\x1e, \\xff\\xfe"},
		{"part-names.exr", ExrBytes({Flat(4, 4, {{"R"}}, "\x1e"), Flat(4, 4, {{"R"}}, "\xff\xfe")}), ":part=2",
		 "parts 0 \"\\x1e\", 1 \"\\xff\\xfe\""},
		{"deep.exr", DeepBytes(4, 4), "", "deep data"},
		{"subsampled.exr", ExrBytes({Flat(8, 8, {{"R", 2}, {"G", 2}, {"B", 2}})}), "", "is subsampled"},
		{"cut.png", png.substr(0, png.size() / 2), "", "the file is incomplete"},
		{"cut.tif", tiff.substr(0, tiff.size() / 2)},
		{"empty.exr", ""},
		{"bad\x1e\xff.exr", good.substr(0, table + 20)},
	};
	for (const Case& c : cases)
	{
		std::ofstream(Path(c.Name), std::ios::binary) << c.Bytes;
		const QzRun run = Run({"run", "ZDevider", "-i", "Input=" + Path(c.Name) + c.Selection, "-o", Path("out.exr")});
		EXPECT_EQ(run.Status, 1) << c.Name << ": " << run.Err;
		ExpectOneCleanLine(run.Err, c.Name);
		const std::string shown = c.Name == "bad\x1e\xff.exr" ? "bad\\x1e\\xff.exr" : c.Name;
		EXPECT_EQ(run.Err.rfind("qz: cannot read image " + Path(shown) + ": ", 0), 0u) << run.Err;
		EXPECT_NE(run.Err.find(c.Says), std::string::npos) << run.Err;
		std::vector<std::string> files{"depth.exr", c.Name};
		std::sort(files.begin(), files.end());
		EXPECT_EQ(Files(), files) << c.Name << ": no output, no temporary file";
		fs::remove(Path(c.Name));
		fs::remove(Path("out.exr"));
	}
}

TEST_F(Qz, FilesWithIntactPixelsAndAWrongChunkTableReadExactly)
{
	// OpenEXR rebuilds a chunk offset table that points outside the file or
	// into its header by walking the chunks, and counts a part's chunks from
	// its windows rather than from its chunkCount attribute: with every
	// chunk in place, the file reads whole.
	const std::string good = GoodExr();
	const std::string parts = ExrBytes({Flat(4, 4, {{"R"}, {"G"}, {"B"}}, "beauty"), Flat(4, 4, {{"Z"}}, "depth")});
	const size_t entry = OffsetTableOf(good) + 3 * sizeof(uint64_t);
	const size_t chunkCount = ValueOf(parts, "chunkCount", "int");
	for (const auto& [name, bytes, partCount] : std::vector<std::tuple<std::string, std::string, int>>{
		     {"beyond.exr", Patched(good, entry, uint64_t(1) << 40), 1},
		     {"into-header.exr", Patched(good, entry, uint64_t(4)), 1},
		     {"count-huge.exr", Patched(parts, chunkCount, int32_t(0x7fffffff)), 2},
		     {"count-negative.exr", Patched(parts, chunkCount, int32_t(-1)), 2}})
	{
		std::ofstream(Path(name), std::ios::binary) << bytes;
		const std::string out = Path("out-" + name);  // a name of its own: OpenImageIO caches what it read
		const QzRun run = Run({"run", "Wireless", "-i", "Input=" + Path(name), "-o", out});
		ASSERT_EQ(run.Status, 0) << name << ": " << run.Err;
		EXPECT_EQ(run.Err, "") << name;
		for (int part = 0; part < partCount; ++part)
		{
			OIIO::ImageBuf back(out, part, 0);
			const OIIO::ImageBufAlgo::PixelStats stats = OIIO::ImageBufAlgo::computePixelStats(back);
			ASSERT_EQ(back.spec().width, partCount == 1 ? 16 : 4) << name << " " << back.geterror();
			for (int c = 0; c < back.nchannels(); ++c)
				EXPECT_TRUE(stats.min[c] == 0.5f && stats.max[c] == 0.5f) << name << " part " << part << " channel " << c;
		}
	}
}
