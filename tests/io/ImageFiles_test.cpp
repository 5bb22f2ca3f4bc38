#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <fstream>

#include "ToolHarness.h"
#include "qz/core/Error.h"
#include "qz/io/ImageFiles.h"

namespace fs = std::filesystem;

namespace
{
struct TempDir
{
	TempDir() : Path(fs::temp_directory_path() / ("qz-files-" + std::to_string(::getpid())))
	{
		fs::create_directories(Path);
	}
	~TempDir() { fs::remove_all(Path); }
	std::string operator/(const std::string& name) const { return (Path / name).string(); }
	fs::path Path;
};

ImagePtr Read(const std::string& path)
{
	return ImagePtr(ReadImageFile(path));
}

void WriteWithOiio(const std::string& path, int w, int h, int channels, const std::vector<float>& pixels,
                   std::vector<std::string> names)
{
	auto out = OIIO::ImageOutput::create(path);
	OIIO::ImageSpec imageSpec(w, h, channels, OIIO::TypeDesc::FLOAT);
	imageSpec.channelnames = std::move(names);
	ASSERT_TRUE(out->open(path, imageSpec));
	ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()));
	out->close();
}

}

TEST(ImageFiles, RoundTripKeepsStoredTypePixelsAndRowOrder)
{
	TempDir dir;
	struct Case
	{
		const char* Name;
		PixelFormat Format;
		OIIO::TypeDesc Stored;
	};
	for (Case c : {Case{"a.exr", PixelFormat::Float, OIIO::TypeDesc::FLOAT},
	               Case{"b.exr", PixelFormat::Half, OIIO::TypeDesc::HALF},
	               Case{"c.tif", PixelFormat::UInt16, OIIO::TypeDesc::UINT16},
	               Case{"d.png", PixelFormat::UInt8, OIIO::TypeDesc::UINT8},
	               Case{"e.png", PixelFormat::UInt16, OIIO::TypeDesc::UINT16}})
	{
		ImagePtr image = MakeImage(
			4, 3, [](int x, int y) { return Pixel(x / 4.0f, y / 4.0f, 0.5f, (x + y) % 2 ? 1.0f : 0.0f); }, c.Format);
		WriteImageFile(*image, dir / c.Name);
		EXPECT_EQ(OIIO::ImageInput::open(dir / c.Name)->spec().format, c.Stored) << c.Name;
		// Every picture enters the tools as float: the stored values, converted.
		ImagePtr back = Read(dir / c.Name);
		EXPECT_EQ(back->Format(), PixelFormat::Float);
		for (int y = 0; y < 3; ++y)
			for (int x = 0; x < 4; ++x)
			{
				const FltPixel written = PixelAt(*image, x, y), read = PixelAt(*back, x, y);
				EXPECT_EQ(std::memcmp(&written.B, &read.B, 4 * sizeof(float)), 0) << c.Name << " at " << x << ", " << y;
			}
	}
	// Nothing temporary is left beside the files.
	EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path), fs::directory_iterator()), 5);
}

TEST(ImageFiles, FilesAreTopDownImagesBottomUp)
{
	TempDir dir;
	// File scanline 0 (top) red, scanline 1 (bottom) green.
	WriteWithOiio(dir / "rows.exr", 1, 2, 3, {1, 0, 0, 0, 1, 0}, {"R", "G", "B"});
	ImagePtr image = Read(dir / "rows.exr");
	EXPECT_EQ(PixelAt(*image, 0, 1).R, 1.0f);
	EXPECT_EQ(PixelAt(*image, 0, 0).G, 1.0f);
	EXPECT_EQ(PixelAt(*image, 0, 0).A, 1.0f) << "no alpha in the file reads as opaque";
}

TEST(ImageFiles, DepthOnlyAndExtraChannels)
{
	TempDir dir;
	WriteWithOiio(dir / "z.exr", 2, 1, 1, {3.5f, 7.0f}, {"Z"});
	ImagePtr depth = Read(dir / "z.exr");
	const FltPixel p = PixelAt(*depth, 1, 0);
	EXPECT_EQ(p.R, 7.0f);
	EXPECT_EQ(p.G, 7.0f);
	EXPECT_EQ(p.B, 7.0f);
	EXPECT_EQ(p.A, 1.0f);

	// Other channels stay beside the picture, not in it.
	WriteWithOiio(dir / "aux.exr", 1, 1, 5, {0.1f, 0.2f, 0.3f, 0.4f, 9.0f}, {"R", "G", "B", "A", "Z"});
	const Picture aux = ReadPicture(ImageSource::Parse(dir / "aux.exr"));
	EXPECT_TRUE(aux.Pixels->IsPlainFloatRGBA());
	EXPECT_EQ(PixelAt(*aux.Pixels, 0, 0).B, 0.3f);
	ASSERT_TRUE(aux.Context);
	EXPECT_EQ(aux.Context->Channels.size(), 5u);
}

TEST(ImageFiles, BadFilesAreInputErrors)
{
	TempDir dir;
	std::ofstream(dir / "corrupt.exr") << "not an image at all";
	ImagePtr good = MakeImage(8, 8, Pixel(1, 0, 0));
	WriteImageFile(*good, dir / "good.exr");
	fs::resize_file(dir / "good.exr", fs::file_size(dir / "good.exr") / 2);
	fs::create_directory(dir / "folder.exr");
	// Special files are refused before anything opens them: reading a FIFO
	// would wait for a writer, a device would never end.
	ASSERT_EQ(::mkfifo((dir / "fifo.exr").c_str(), 0600), 0);
	const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	std::strncpy(address.sun_path, (dir / "socket.exr").c_str(), sizeof address.sun_path - 1);
	ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
	fs::create_symlink("/dev/zero", dir / "zero.exr");

	const struct
	{
		std::string Path, Why;
	} cases[] = {
		{dir / "missing.exr", "no such file"},
		{dir / "corrupt.exr", ""},
		{dir / "good.exr", ""},
		{dir / "folder.exr", "it is a directory"},
		{dir / "fifo.exr", "it is a FIFO (named pipe)"},
		{dir / "socket.exr", "it is a socket"},
		{dir / "zero.exr", "it is a character device"},
		{"/dev/null", "it is a character device"},
	};
	for (const auto& c : cases)
		try
		{
			ImagePtr image = Read(c.Path);
			ADD_FAILURE() << c.Path << " was read";
		}
		catch (const HostError& e)
		{
			EXPECT_EQ(e.Kind, ErrorKind::Input);
			EXPECT_NE(std::string(e.what()).find(c.Path + ": " + c.Why), std::string::npos) << e.what();
		}
	::close(listening);
}

TEST(ImageFiles, ReadableImagesAreWholeFiles)
{
	TempDir dir;
	ImagePtr image = MakeImage(64, 256, [](int x, int y) { return Pixel(x * 0.1f, y * 0.3f, 1.0f); });
	WriteImageFile(*image, dir / "whole.exr");
	WriteImageFile(*image, dir / "whole.png");
	for (const char* name : {"cut-in-header.exr", "empty.exr"})
		fs::copy_file(dir / "whole.exr", dir / name);
	fs::resize_file(dir / "cut-in-header.exr", 40);
	fs::resize_file(dir / "empty.exr", 0);
	fs::create_directory(dir / "folder.exr");

	EXPECT_TRUE(IsReadableImage(dir / "whole.exr"));
	EXPECT_TRUE(IsReadableImage(dir / "whole.png"));
	for (const char* name : {"cut-in-header.exr", "empty.exr", "folder.exr", "missing.exr"})
		EXPECT_FALSE(IsReadableImage(dir / name)) << name;
}

TEST(ImageFiles, FailedWritesLeaveNothingBehind)
{
	TempDir dir;
	ImagePtr image = MakeImage(2, 2, Pixel(1, 0, 0));
	EXPECT_EQ(ErrorKindOf([&] { WriteImageFile(*image, dir / "no-folder/x.exr"); }), ErrorKind::Write);
	EXPECT_EQ(ErrorKindOf([&] { WriteImageFile(*image, dir / "x.unknown-format"); }), ErrorKind::Write);
	EXPECT_TRUE(fs::is_empty(dir.Path));
}
