// Files through qz as a pipeline writes them: windows, header attributes,
// layers, channels, parts, stored types and compression come back as written.
// Inputs are made and outputs read back with OpenImageIO, not with qz's code.
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebufalgo.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "QzFixture.h"

using OIIO::ImageBuf;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

namespace
{
// Channel c of pixel (x, y) of a made-up file: distinct everywhere, and
// exact in half.
float Value(int x, int y, int c)
{
	return static_cast<float>(x + 4 * y) + 0.25f * c;
}

void WriteFile(const std::string& path, const std::vector<ImageSpec>& parts)
{
	auto out = OIIO::ImageOutput::create(path);
	ASSERT_TRUE(out->open(path, static_cast<int>(parts.size()), parts.data())) << out->geterror();
	for (size_t p = 0; p < parts.size(); ++p)
	{
		const ImageSpec& header = parts[p];
		if (p > 0)
		{
			ASSERT_TRUE(out->open(path, header, OIIO::ImageOutput::AppendSubimage));
		}
		std::vector<float> pixels;
		for (int y = header.y; y < header.y + header.height; ++y)
			for (int x = header.x; x < header.x + header.width; ++x)
				for (int c = 0; c < header.nchannels; ++c)
					pixels.push_back(Value(x, y, c) + 100.0f * p);
		ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, pixels.data())) << out->geterror();
	}
	out->close();
}

ImageSpec Header(int x, int y, int width, int height, std::vector<std::string> channels,
               TypeDesc type = TypeDesc::FLOAT)
{
	ImageSpec header(width, height, static_cast<int>(channels.size()), type);
	header.x = x;
	header.y = y;
	header.channelnames = std::move(channels);
	return header;
}

// A written file as OpenImageIO reads it, straight from the file.
struct FileImage
{
	ImageSpec Header;
	std::vector<float> Pixels;
};

FileImage ReadBack(const std::string& path, int part = 0)
{
	FileImage image;
	auto in = OIIO::ImageInput::open(path);
	EXPECT_TRUE(in && in->seek_subimage(part, 0)) << path;
	if (!in || !in->seek_subimage(part, 0))
		return image;
	image.Header = in->spec();
	image.Pixels.resize(image.Header.image_pixels() * image.Header.nchannels);
	EXPECT_TRUE(in->read_image(part, 0, 0, image.Header.nchannels, TypeDesc::FLOAT, image.Pixels.data()));
	return image;
}

// The channel named `name` of the read-back file at (x, y) in its pixel space.
float ChannelAt(const FileImage& image, int x, int y, const std::string& name)
{
	const ImageSpec& header = image.Header;
	const int c = header.channelindex(name);
	EXPECT_GE(c, 0) << name;
	if (c < 0 || x < header.x || y < header.y || x >= header.x + header.width || y >= header.y + header.height)
		return NAN;
	return image.Pixels[(static_cast<size_t>(y - header.y) * header.width + (x - header.x)) * header.nchannels + c];
}

std::vector<std::string> ChannelsOf(const FileImage& image)
{
	return image.Header.channelnames;
}
}

TEST_F(Qz, WindowsComeBackExactly)
{
	struct Case
	{
		const char* Name;
		int X, Y, Width, Height;  // data window; the display window is 0, 0, 8 x 6
	};
	for (const Case c : {Case{"offset", 3, 2, 4, 3}, Case{"overscan", -2, -1, 12, 8}, Case{"cropped", 1, 1, 5, 4}})
	{
		ImageSpec header = Header(c.X, c.Y, c.Width, c.Height, {"R", "G", "B", "A"});
		header.full_x = header.full_y = 0;
		header.full_width = 8;
		header.full_height = 6;
		const std::string in = Path(std::string(c.Name) + ".exr");
		WriteFile(in, {header});
		for (const char* tool : {"Wireless", "ZDevider"})
		{
			const std::string out = Path(std::string(c.Name) + "-" + tool + ".exr");
			const bool divides = std::string(tool) == "ZDevider";
			std::vector<std::string> args = {"run", tool, "-i", "Input=" + in, "-o", out};
			if (divides)
				args.insert(args.end(), {"-s", "Zmax=2"});
			QzRun run = Run(args);
			ASSERT_EQ(run.Status, 0) << run.Err;
			const FileImage back = ReadBack(out);
			const ImageSpec& got = back.Header;
			EXPECT_EQ(std::vector<int>({got.x, got.y, got.width, got.height}),
			          std::vector<int>({c.X, c.Y, c.Width, c.Height}))
				<< c.Name << " " << tool;
			EXPECT_EQ(std::vector<int>({got.full_x, got.full_y, got.full_width, got.full_height}),
			          std::vector<int>({0, 0, 8, 6}))
				<< c.Name << " " << tool;
			const float divisor = divides ? 2.0f : 1.0f;
			EXPECT_EQ(ChannelAt(back, c.X, c.Y, "R"), Value(c.X, c.Y, 0) / divisor) << c.Name << " " << tool;
			EXPECT_EQ(ChannelAt(back, c.X + c.Width - 1, c.Y, "G"), Value(c.X + c.Width - 1, c.Y, 1) / divisor);
			EXPECT_EQ(ChannelAt(back, c.X, c.Y + c.Height - 1, "A"), Value(c.X, c.Y + c.Height - 1, 3));
		}
	}
}

TEST_F(Qz, InputsAreLinedUpInDisplayCoordinates)
{
	// An overscan left eye and a display-sized right eye: the switch hands on
	// the right eye placed in the left eye's data window, zeros around it.
	ImageSpec left = Header(-2, -1, 12, 8, {"R", "G", "B", "A"});
	ImageSpec right = Header(0, 0, 8, 6, {"R", "G", "B", "A"});
	for (ImageSpec* header : {&left, &right})
	{
		header->full_x = header->full_y = 0;
		header->full_width = 8;
		header->full_height = 6;
	}
	WriteFile(Path("left.exr"), {left});
	WriteFile(Path("right.exr"), {right});
	QzRun run = Run({"run", "StereoSwitch", "-i", "LeftImage=" + Path("left.exr"), "-i",
	                 "RightImage=" + Path("right.exr"), "-s", "Input=Right", "-o", Path("switched.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const FileImage back = ReadBack(Path("switched.exr"));
	EXPECT_EQ(back.Header.x, -2);
	EXPECT_EQ(back.Header.width, 12);
	EXPECT_EQ(ChannelAt(back, 0, 0, "R"), Value(0, 0, 0));
	EXPECT_EQ(ChannelAt(back, 7, 5, "B"), Value(7, 5, 2));
	EXPECT_EQ(ChannelAt(back, -2, -1, "R"), 0.0f) << "padded";
	EXPECT_EQ(ChannelAt(back, 9, 6, "A"), 0.0f) << "padded";

	// Sizes that still differ after lining up are named when a tool sets no output.
	ImageSpec small = Header(0, 0, 4, 3, {"R", "G", "B", "A"});
	WriteFile(Path("small.exr"), {small});
	QzRun mismatch = Run({"run", "DirtyDOF", "-i", "Image=" + Path("right.exr"), "-i", "Zdepth=" + Path("small.exr"),
	                      "-o", Path("dof.exr")});
	EXPECT_EQ(mismatch.Status, 1);
	EXPECT_NE(mismatch.Err.find("\"Image\" is 8 x 6, \"Zdepth\" is 4 x 3"), std::string::npos) << mismatch.Err;
}

TEST_F(Qz, HeaderAttributesRideAlong)
{
	ImageSpec header = Header(0, 0, 4, 3, {"R", "G", "B", "A"}, TypeDesc::HALF);
	header.attribute("PixelAspectRatio", 2.0f);
	const float chromaticities[8] = {0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 0.3127f, 0.329f};
	header.attribute("chromaticities", TypeDesc(TypeDesc::FLOAT, 8), chromaticities);
	const unsigned int timecode[2] = {0x01020304, 0};
	header.attribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode);
	const int fps[2] = {24000, 1001};
	header.attribute("FramesPerSecond", OIIO::TypeRational, fps);
	const float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 5, 6, 7, 1};
	header.attribute("worldToCamera", OIIO::TypeMatrix44, matrix);
	header.attribute("show:name", "tomorrow");
	header.attribute("show:take", 7);
	const float vector[3] = {1.5f, 2.5f, 3.5f};
	header.attribute("show:focus", OIIO::TypeVector, vector);
	WriteFile(Path("attrs.exr"), {header});

	std::ofstream(Path("flow.json")) << nlohmann::json{
		{"nodes",
		 {{"copy", {{"tool", "Wireless"}, {"inputs", {{"Input", {{"file", "attrs.exr"}}}}}}},
		  {"divide", {{"tool", "ZDevider"}, {"values", {{"Zmax", 4}}}, {"inputs", {{"Input", {{"node", "copy"}}}}}}}}},
		{"save", {{{"node", "divide"}, {"file", "attrs-out.exr"}}}}};
	QzRun run = Run({"flow", Path("flow.json")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const FileImage back = ReadBack(Path("attrs-out.exr"));
	const ImageSpec& got = back.Header;
	EXPECT_EQ(got.format, TypeDesc::HALF);
	for (const char* name : {"PixelAspectRatio", "chromaticities", "smpte:TimeCode", "FramesPerSecond", "worldToCamera",
	                         "show:name", "show:take", "show:focus"})
	{
		const OIIO::ParamValue* written = header.find_attribute(name);
		const OIIO::ParamValue* read = got.find_attribute(name);
		ASSERT_TRUE(read) << name;
		EXPECT_EQ(read->type(), written->type()) << name;
		EXPECT_EQ(std::memcmp(read->data(), written->data(), written->type().size()), 0) << name;
	}
	EXPECT_EQ(got.get_string_attribute("Software"), "qz 0.1 (ZDevider)");
}

TEST_F(Qz, LayersChannelsAndPartsRideAlong)
{
	WriteFile(Path("layered.exr"), {Header(0, 0, 3, 2, {"R", "G", "B", "A", "N.X", "N.Y", "N.Z", "Z", "id"})});
	WriteFile(Path("z.exr"), {Header(0, 0, 3, 2, {"Z"})});
	WriteFile(Path("rgb.exr"), {Header(0, 0, 3, 2, {"R", "G", "B"})});
	WriteFile(Path("named.exr"), {Header(0, 0, 3, 2, {"N.X", "N.Y", "N.Z", "P.x", "P.y", "P.z"})});
	ImageSpec beauty = Header(0, 0, 3, 2, {"R", "G", "B", "A"}, TypeDesc::HALF), depth = Header(0, 0, 3, 2, {"Z"});
	beauty.attribute("name", "beauty");
	depth.attribute("name", "depth");
	WriteFile(Path("parts.exr"), {beauty, depth});

	// What ZDevider (red, green and blue halved) writes, and which channels
	// of the file it takes them from.
	struct Case
	{
		std::string Source;
		std::vector<std::string> Channels;  // written, as the library orders them
		std::vector<std::pair<std::string, int>> Halved, Kept;  // channel, its index in the source file
		int Part = 0;
	};
	const std::vector<std::string> layered = ChannelsOf(ReadBack(Path("layered.exr")));
	for (const Case& c : std::vector<Case>{
		     {"layered.exr", layered, {{"R", 0}, {"B", 2}}, {{"A", 3}, {"N.X", 4}, {"Z", 7}, {"id", 8}}},
		     {"layered.exr:layer=N", layered, {{"N.X", 4}, {"N.Z", 6}}, {{"R", 0}, {"A", 3}, {"Z", 7}}},
		     {"layered.exr:channel=Z", layered, {{"Z", 7}}, {{"R", 0}, {"N.X", 4}, {"id", 8}}},
		     {"z.exr", {"Z"}, {{"Z", 0}}, {}},
		     {"rgb.exr", {"R", "G", "B"}, {{"G", 1}}, {}},
		     {"named.exr:layer=P", {"N.X", "N.Y", "N.Z", "P.x", "P.y", "P.z"}, {{"P.x", 3}, {"P.z", 5}}, {{"N.Y", 1}}},
		     {"parts.exr:part=depth", {"Z"}, {{"Z", 0}}, {}, 1},
		 })
	{
		QzRun run = Run({"run", "ZDevider", "-i", "Input=" + Path(c.Source), "-s", "Zmax=2", "-o", Path("out.exr")});
		ASSERT_EQ(run.Status, 0) << c.Source << ": " << run.Err;
		const FileImage back = ReadBack(Path("out.exr"), c.Part);
		EXPECT_EQ(ChannelsOf(back), c.Channels) << c.Source;
		const float partOffset = 100.0f * c.Part;
		for (const auto& [name, index] : c.Halved)
			EXPECT_EQ(ChannelAt(back, 2, 1, name), (Value(2, 1, index) + partOffset) / 2) << c.Source << " " << name;
		for (const auto& [name, index] : c.Kept)
			EXPECT_EQ(ChannelAt(back, 2, 1, name), Value(2, 1, index) + partOffset) << c.Source << " " << name;
	}
	// Every part comes back, under its name, the untouched one as it was.
	const FileImage beautyBack = ReadBack(Path("out.exr"), 0);
	EXPECT_EQ(beautyBack.Header.get_string_attribute("name"), "beauty");
	EXPECT_EQ(beautyBack.Header.format, TypeDesc::HALF);
	EXPECT_EQ(ChannelAt(beautyBack, 1, 0, "G"), Value(1, 0, 1));

	// Without a choice, a file of named layers only is an error that lists
	// what the file has, as are choices the file does not have.
	for (const auto& [source, listed] : std::vector<std::pair<std::string, std::string>>{
		     {"named.exr", "layers N, P; channels N.X"},
		     {"named.exr:layer=Q", "layers N, P"},
		     {"layered.exr:channel=W", "channels A B G N.X"},
		     {"parts.exr:part=9", "parts 0 \"beauty\", 1 \"depth\""}})
	{
		QzRun run = Run({"run", "ZDevider", "-i", "Input=" + Path(source), "-o", Path("never.exr")});
		EXPECT_EQ(run.Status, 1) << source;
		EXPECT_NE(run.Err.find(listed), std::string::npos) << run.Err;
	}
	// Names in a damaged header come back escaped, never as the bytes that
	// could drive a terminal.
	WriteFile(Path("damaged.exr"), {Header(0, 0, 3, 2, {"R", "G", "B", "\x1b[2J\x1e", "bad\xff"})});
	const QzRun damaged = Run({"run", "ZDevider", "-i", "Input=" + Path("damaged.exr:channel=nope"), "-o", Path("never.exr")});
	EXPECT_EQ(damaged.Status, 1);
	EXPECT_NE(damaged.Err.find("\\x1b[2J\\x1e"), std::string::npos) << damaged.Err;
	EXPECT_NE(damaged.Err.find("bad\\xff"), std::string::npos) << damaged.Err;
	EXPECT_EQ(std::count_if(damaged.Err.begin(), damaged.Err.end(), [](char c) { return c < 0x20 && c != 0 ? 1 : 0; }), 1)
		<< "one line, no control byte";
	EXPECT_EQ(damaged.Err.find('\xff'), std::string::npos);
	fs::copy_file(Path("depth.exr"), Path("take\xff.exr"));
	const QzRun named = Run({"run", "ZDevider", "-i", "Input=" + Path("take\xff.exr"), "-o", Path("out\xff.exr"), "--json"});
	ASSERT_EQ(named.Status, 0) << named.Err;
	EXPECT_NO_THROW(nlohmann::json::parse(named.Out)) << "a --json report is valid UTF-8";
	EXPECT_FALSE(fs::exists(Path("never.exr")));
}

TEST_F(Qz, LuminanceChromaFilesReadAsRgbAndAreWrittenAsRgb)
{
	// Luminance and 2 x 2 subsampled chroma, as OpenEXR's RGBA interface
	// writes them, of one colour over 8 x 6 pixels (OpenImageIO reads no
	// subsampled channels, so only qz reads this file here).
	const Imf::Rgba colour(0.5f, 0.25f, 0.125f, 1.0f);
	{
		Imf::RgbaOutputFile out(Path("yc.exr").c_str(), Imf::Header(8, 6), Imf::WRITE_YC);
		std::vector<Imf::Rgba> pixels(8 * 6, colour);
		out.setFrameBuffer(pixels.data(), 1, 8);
		out.writePixels(6);
	}
	const QzRun run = Run({"run", "Wireless", "-i", "Input=" + Path("yc.exr"), "-o", Path("rgb.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const FileImage back = ReadBack(Path("rgb.exr"));
	EXPECT_EQ(back.Header.channelnames, (std::vector<std::string>{"R", "G", "B"}));
	// One colour converts back to itself, to within what luminance and chroma
	// in half keep of it (chroma is a half ratio to luminance): one percent.
	for (const auto& [name, value] : {std::pair{"R", 0.5f}, {"G", 0.25f}, {"B", 0.125f}})
		EXPECT_NEAR(ChannelAt(back, 3, 2, name), value, value * 0.01f) << name;
}

TEST_F(Qz, IntegerInputsStayFloatBetweenNodes)
{
	// An 8-bit ramp divided by 10 and then by 0.1 keeps its 256 levels.
	ImageBuf ramp(ImageSpec(256, 1, 3, TypeDesc::UINT8));
	for (int x = 0; x < 256; ++x)
		for (int c = 0; c < 3; ++c)
			ramp.setpixel(x, 0, 0, std::vector<float>(3, x / 255.0f).data());
	ASSERT_TRUE(ramp.write(Path("ramp.png")));
	std::ofstream(Path("flow.json")) << nlohmann::json{
		{"nodes",
		 {{"down", {{"tool", "ZDevider"}, {"values", {{"Zmax", 10}}}, {"inputs", {{"Input", {{"file", "ramp.png"}}}}}}},
		  {"up", {{"tool", "ZDevider"}, {"values", {{"Zmax", 0.1}}}, {"inputs", {{"Input", {{"node", "down"}}}}}}}}},
		{"save", {{{"node", "up"}, {"file", "ramp-out.png"}}, {{"node", "up"}, {"file", "ramp-out.exr"}, {"type", "half"}}}}};
	QzRun run = Run({"flow", Path("flow.json")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const FileImage png = ReadBack(Path("ramp-out.png"));
	EXPECT_EQ(png.Header.format, TypeDesc::UINT8) << "the main input's stored type";
	EXPECT_EQ(png.Header.nchannels, 3) << "no alpha added";
	for (int x = 0; x < 256; ++x)
		EXPECT_EQ(std::lround(ChannelAt(png, x, 0, "R") * 255.0f), x);
	EXPECT_EQ(ReadBack(Path("ramp-out.exr")).Header.format, TypeDesc::HALF);

	// An 8-bit sRGB plate taken to scene_linear (ACEScg) through qz's default colour
	// configuration, as OpenImageIO converts with the same configuration.
	ASSERT_EQ(Run({"run", "Wireless", "-i", "Input=" + Path("ramp.png") + ":colorspace=sRGB", "-d", "float", "-o",
	               Path("linear.exr")})
	              .Status,
	          0);
	ImageBuf plate(Path("ramp.png")), linear;
	ASSERT_TRUE(plate.read(0, 0, true, TypeDesc::FLOAT));
	OIIO::ColorConfig config(QZ_SOURCE_DIR "/colour/qz-default.ocio");
	ASSERT_TRUE(OIIO::ImageBufAlgo::colorconvert(linear, plate, "sRGB", "scene_linear", true, "", "", &config));
	for (int x : {0, 64, 128, 255})
		EXPECT_EQ(ChannelAt(ReadBack(Path("linear.exr")), x, 0, "G"), linear.getchannel(x, 0, 0, 1)) << x;

	// A 16-bit file doubled is not clamped to 1 when the output holds more.
	ImageBuf wide(ImageSpec(2, 1, 3, TypeDesc::UINT16));
	const float bright[3] = {0.75f, 0.75f, 0.75f};
	wide.setpixel(0, 0, 0, bright);
	ASSERT_TRUE(wide.write(Path("wide.tif")));
	ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("wide.tif"), "-s", "Zmax=0.5", "-d", "float", "-o",
	               Path("wide.exr")})
	              .Status,
	          0);
	EXPECT_EQ(ChannelAt(ReadBack(Path("wide.exr")), 0, 0, "R"), 49151.0f / 65535.0f * 2.0f);
}

TEST_F(Qz, CompressionIsKeptOrChosen)
{
	ImageSpec piz = Header(0, 0, 16, 16, {"R", "G", "B", "A"}, TypeDesc::HALF);
	piz.attribute("compression", "piz");
	WriteFile(Path("piz.exr"), {piz});
	ASSERT_EQ(Run({"run", "Wireless", "-i", "Input=" + Path("piz.exr"), "-o", Path("kept.exr")}).Status, 0);
	EXPECT_EQ(ReadBack(Path("kept.exr")).Header.get_string_attribute("compression"), "piz");
	for (const char* compression : {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"})
	{
		QzRun run = Run({"run", "Wireless", "-i", "Input=" + Path("piz.exr"), "--compression", compression, "-o",
		                 Path("chosen.exr")});
		ASSERT_EQ(run.Status, 0) << compression << ": " << run.Err;
		EXPECT_EQ(ReadBack(Path("chosen.exr")).Header.get_string_attribute("compression"), compression);
	}
	QzRun tiff = Run({"run", "Wireless", "-i", "Input=" + Path("piz.exr"), "--compression", "lzw", "-o", Path("c.tif")});
	ASSERT_EQ(tiff.Status, 0) << tiff.Err;
	EXPECT_EQ(ReadBack(Path("c.tif")).Header.get_string_attribute("compression"), "lzw");
	for (const std::vector<std::string>& bad : {std::vector<std::string>{"--compression", "lzw", "-o", Path("x.exr")},
	                                            {"--compression", "zip", "-o", Path("x.png")},
	                                            {"--compression", "zip:fast", "-o", Path("x.exr")},
	                                            {"-d", "int7", "-o", Path("x.exr")}})
	{
		std::vector<std::string> args = {"run", "Wireless", "-i", "Input=" + Path("piz.exr")};
		args.insert(args.end(), bad.begin(), bad.end());
		EXPECT_EQ(Run(args).Status, 2) << bad[1];
	}
}

TEST_F(Qz, FailedWritesKeepThePreviousFile)
{
	// A size limit makes every write past it fail, as a full disk does.
	for (const char* name : {"keep.png", "keep.exr", "keep.tif"})
	{
		ImageBuf big(ImageSpec(256, 256, 4, TypeDesc::FLOAT));
		OIIO::ImageBufAlgo::noise(big, "uniform", 0.0f, 1.0f);
		ASSERT_TRUE(big.write(Path(std::string("big-") + name)));
		std::ofstream(Path(name)) << "the previous output";
		const std::string command = "ulimit -f 64; trap '' XFSZ; " + std::string(QZ_BIN_DIR) + "/qz run Wireless -i Input=" +
		                            Path(std::string("big-") + name) + " -o " + Path(name) + " 2>" +
		                            Path("err");
		const int status = std::system(("bash -c \"" + command + "\"").c_str());
		EXPECT_EQ(WEXITSTATUS(status), 1) << name;
		std::ifstream previous(Path(name)), err(Path("err"));
		std::string text((std::istreambuf_iterator<char>(previous)), {}), message((std::istreambuf_iterator<char>(err)), {});
		EXPECT_EQ(text, "the previous output") << name;
		EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
		EXPECT_EQ(message.rfind("qz: cannot write image " + Path(name), 0), 0u) << message;
	}
	for (const std::string& file : Files())
		EXPECT_EQ(file.find(".qz-"), std::string::npos) << file;
}

TEST_F(Qz, ReplacedOutputsKeepModeAndLinks)
{
	std::ofstream(Path("target.exr")) << "old";
	::chmod(Path("target.exr").c_str(), 0640);
	fs::create_symlink(Path("target.exr"), Path("link.exr"));
	ASSERT_EQ(Run({"run", "Wireless", "-i", "Input=" + Path("depth.exr"), "-o", Path("link.exr")}).Status, 0);
	EXPECT_TRUE(fs::is_symlink(Path("link.exr")));
	struct stat info;
	ASSERT_EQ(::stat(Path("target.exr").c_str(), &info), 0);
	EXPECT_EQ(info.st_mode & 07777, 0640u);
	EXPECT_EQ(ReadBack(Path("target.exr")).Header.width, 6);

	// A link to a file not written yet, through a relative link and a link to a link.
	fs::create_directory(Path("renders"));
	fs::create_symlink("renders/new.exr", Path("dangling.exr"));
	fs::create_symlink("dangling.exr", Path("chained.exr"));
	for (const char* link : {"dangling.exr", "chained.exr"})
	{
		ASSERT_EQ(Run({"run", "Wireless", "-i", "Input=" + Path("depth.exr"), "-o", Path(link)}).Status, 0) << link;
		EXPECT_TRUE(fs::is_symlink(Path(link))) << link;
	}
	EXPECT_EQ(ReadBack(Path("renders/new.exr")).Header.width, 6);
	for (const auto& entry : fs::directory_iterator(Path("renders")))
		EXPECT_EQ(entry.path().filename(), "new.exr") << "no temporary file is left behind";
}

TEST_F(Qz, ImpossibleHeadersAreRefusedAtOnce)
{
	// A file one pixel wide whose header is patched to claim 16000 x 16000
	// pixels: the chunk table still fits, so the file opens.
	ImageSpec narrow = Header(0, 0, 1, 16000, {"R", "G", "B"});
	narrow.attribute("compression", "zip");
	WriteFile(Path("narrow.exr"), {narrow});
	std::fstream file(Path("narrow.exr"), std::ios::in | std::ios::out | std::ios::binary);
	std::string bytes((std::istreambuf_iterator<char>(file)), {});
	for (const std::string& attribute : {std::string("dataWindow\0box2i\0", 17), std::string("displayWindow\0box2i\0", 20)})
	{
		const size_t at = bytes.find(attribute);
		ASSERT_NE(at, std::string::npos);
		const int32_t box[4] = {0, 0, 15999, 15999};
		file.seekp(static_cast<std::streamoff>(at + attribute.size() + 4));
		file.write(reinterpret_cast<const char*>(box), sizeof box);
	}
	file.close();
	QzRun run = Run({"run", "Wireless", "-i", "Input=" + Path("narrow.exr"), "-o", Path("never.exr")});
	EXPECT_EQ(run.Status, 1);
	EXPECT_NE(run.Err.find("narrow.exr: its header claims 16000 x 16000 pixels"), std::string::npos) << run.Err;
}
