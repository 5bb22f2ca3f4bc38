// Image files of every format but OpenEXR, through OpenImageIO, and colour
// conversion. Loaded by qz on first use (see FileFormats.h).
#include "ImageLibrary.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/thread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;
using OIIO::stride_t;

namespace
{
StoredType TypeOf(TypeDesc type)
{
	switch (type.basetype)
	{
	case TypeDesc::UINT8: return StoredType::UInt8;
	case TypeDesc::UINT16: return StoredType::UInt16;
	case TypeDesc::HALF: return StoredType::Half;
	default: return StoredType::Float;  // wider or signed types are read as float
	}
}

TypeDesc TypeDescOf(StoredType type)
{
	switch (type)
	{
	case StoredType::UInt8: return TypeDesc::UINT8;
	case StoredType::UInt16: return TypeDesc::UINT16;
	case StoredType::UInt32: return TypeDesc::UINT32;
	case StoredType::Half: return TypeDesc::HALF;
	case StoredType::Float: return TypeDesc::FLOAT;
	}
	return TypeDesc::FLOAT;
}

// A file written through a descriptor that remembers whether any write
// failed (a full disk, a size limit), which some format writers do not
// report themselves.
class CheckedFile final : public OIIO::Filesystem::IOProxy
{
public:
	CheckedFile(int fd, const std::string& name) : IOProxy(name, Write), Fd(fd) {}

	const char* proxytype() const override { return "qz"; }
	size_t read(void* buf, size_t size) override
	{
		const size_t n = pread(buf, size, m_pos);
		m_pos += n;
		return n;
	}
	size_t write(const void* buf, size_t size) override
	{
		const size_t n = pwrite(buf, size, m_pos);
		m_pos += n;
		return n;
	}
	size_t pread(void* buf, size_t size, int64_t offset) override
	{
		const ssize_t n = ::pread(Fd, buf, size, offset);
		return n < 0 ? 0 : static_cast<size_t>(n);
	}
	size_t pwrite(const void* buf, size_t size, int64_t offset) override
	{
		if (const int error = WriteAt(Fd, buf, size, static_cast<uint64_t>(offset)))
		{
			Errno = error;
			return 0;
		}
		return size;
	}
	size_t size() const override
	{
		struct stat info;
		return ::fstat(Fd, &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
	}
	void close() override { m_mode = Closed; }

	int Errno = 0;

private:
	int Fd;
};

// True when `path` is a PNG file whose chunks (length, type, data, CRC) do
// not run whole up to its end chunk. The library's PNG reader lets libpng
// print its errors on stderr besides reporting them, so a cut file is
// refused before it is opened.
bool IsCutPng(const std::string& path)
{
	static const unsigned char Signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
	std::ifstream in(path, std::ios::binary | std::ios::ate);
	const std::streamoff size = in.tellg();
	unsigned char chunk[8];
	if (!in.seekg(0).read(reinterpret_cast<char*>(chunk), 8) || std::memcmp(chunk, Signature, 8) != 0)
		return false;
	for (std::streamoff at = 8; in.seekg(at).read(reinterpret_cast<char*>(chunk), 8);)
	{
		at += 12 + (std::streamoff(chunk[0]) << 24 | chunk[1] << 16 | chunk[2] << 8 | chunk[3]);
		if (std::memcmp(chunk + 4, "IEND", 4) == 0)
			return at > size;
	}
	return true;
}
}

Picture ReadWithImageLibrary(const ImageSource& source)
{
	const std::string& path = source.Path;
	if (IsCutPng(path))
		throw ReadError(path, "the file is incomplete");
	// Channel values as stored: formats with unassociated alpha (PNG) are not
	// premultiplied on the way in, so data passes and round trips stay exact.
	ImageSpec config;
	config.attribute("oiio:UnassociatedAlpha", 1);
	std::unique_ptr<ImageInput> in = ImageInput::open(path, &config);
	if (!in)
		throw ReadError(path, OIIO::geterror());

	std::vector<ImageSpec> parts;
	std::vector<std::string> names;
	for (int i = 0; in->seek_subimage(i, 0); ++i)
	{
		const ImageSpec& subimage = in->spec();
		parts.push_back(subimage);
		names.push_back(subimage.get_string_attribute("name"));
	}
	in->geterror();  // seeking past the last part is not a fault
	if (parts.empty())
		throw ReadError(path, "it holds no image");

	auto context = std::make_shared<FileContext>();
	context->Path = path;
	context->FormatName = in->format_name();
	context->PartCount = static_cast<int>(parts.size());
	context->PartIndex = ChoosePart(source, names);
	const ImageSpec& header = parts[context->PartIndex];
	if (header.depth > 1 || header.deep)
		throw ReadError(path, "it holds volume or deep data, which qz does not read");
	context->Data = {header.x, header.y, header.width, header.height};
	context->Display = {header.full_x, header.full_y, header.full_width, header.full_height};
	context->Compression = header.get_string_attribute("compression");
	for (int c = 0; c < header.nchannels; ++c)
		context->Channels.push_back({header.channelnames[c], TypeOf(header.channelformat(c))});
	CheckSize(path, context->Data, header.pixel_bytes(true), context->Compression);
	ChooseChannels(source, *context);

	try
	{
		// All channels as float, then R, G, B and A into the picture,
		// bottom-up, and the others into planes of their own type.
		const size_t count = static_cast<size_t>(header.width) * header.height;
		std::vector<float> all(count * header.nchannels);
		if (!in->read_image(context->PartIndex, 0, 0, header.nchannels, TypeDesc::FLOAT, all.data()) || in->has_error())
		{
			const std::string why = in->geterror();
			throw ReadError(path, why.empty() ? "the file is incomplete" : why);
		}
		SharedImage pixels = ShareImage(new Image(header.width, header.height, PixelFormat::Float, {}, NewPixels::Unset));
		const stride_t channelStride = header.nchannels * sizeof(float);
		const stride_t rowBytes = static_cast<stride_t>(header.width) * 4 * sizeof(float);
		unsigned char* bottomUp = pixels->Data() + (header.height - 1) * rowBytes;
		for (int i = 0; i < 4; ++i)
			if (context->Taken[i] >= 0 && !(context->Gray() && i > 0))
				OIIO::parallel_convert_image(1, header.width, header.height, 1, all.data() + context->Taken[i],
				                             TypeDesc::FLOAT, channelStride, channelStride * header.width, OIIO::AutoStride,
				                             bottomUp + SlotOf[i] * sizeof(float), TypeDesc::FLOAT, 4 * sizeof(float),
				                             -rowBytes, OIIO::AutoStride);
		CompletePicture(*context, *pixels);
		for (int c = 0; c < header.nchannels; ++c)
		{
			if (std::find(context->Taken, context->Taken + 4, c) != context->Taken + 4)
				continue;
			const StoredType type = context->Channels[c].Type;
			CarriedChannel carried{c, std::vector<unsigned char>(count * SizeOf(type))};
			OIIO::convert_image(1, header.width, header.height, 1, all.data() + c, TypeDesc::FLOAT, channelStride,
			                    channelStride * header.width, OIIO::AutoStride, carried.Plane.data(), TypeDescOf(type),
			                    OIIO::AutoStride, OIIO::AutoStride, OIIO::AutoStride);
			context->Carried.push_back(std::move(carried));
		}
		context->NativeHeader = std::make_shared<ImageSpec>(header);
		context->ColorSpace = header.get_string_attribute("oiio:ColorSpace");
		return {pixels, context};
	}
	catch (const std::bad_alloc&)
	{
		throw ReadError(path, "not enough memory for its pixels");
	}
}

void WriteWithImageLibrary(const Image& pixels, const FileContext* context, int fd, const std::string& target,
                           const WriteSettings& settings)
{
	std::unique_ptr<ImageOutput> out = ImageOutput::create(target);
	if (!out)
		throw std::runtime_error(OIIO::geterror());
	const bool sameSize = context && context->Data.Width == pixels.Width && context->Data.Height == pixels.Height;
	const FileContext* layout = sameSize ? context : nullptr;
	const std::vector<WrittenChannel> channels = ChannelsToWrite(
		pixels, layout, WrittenType(pixels, context, settings), out->supports("nchannels"), out->supports("alpha"));

	// The source's own description where it was read by this library,
	// otherwise the windows alone.
	ImageSpec header = layout && !layout->IsExr ? *static_cast<const ImageSpec*>(layout->NativeHeader.get())
	                                          : ImageSpec(pixels.Width, pixels.Height, 4, TypeDesc::FLOAT);
	if (layout)
	{
		header.x = layout->Data.X;
		header.y = layout->Data.Y;
		header.full_x = layout->Display.X;
		header.full_y = layout->Display.Y;
		header.full_width = layout->Display.Width;
		header.full_height = layout->Display.Height;
	}
	header.width = pixels.Width;
	header.height = pixels.Height;
	header.nchannels = static_cast<int>(channels.size());
	header.channelnames.clear();
	header.channelformats.clear();
	// One type for all channels: the formats here hold no mixed types.
	header.format = TypeDescOf(channels.front().Type);
	header.alpha_channel = header.z_channel = -1;
	for (int c = 0; c < header.nchannels; ++c)
	{
		header.channelnames.push_back(channels[c].Name);
		if (channels[c].Slot == SlotOf[3])
			header.alpha_channel = c;
	}
	if (!out->supports("tiles"))
		header.tile_width = header.tile_height = header.tile_depth = 0;
	for (const char* name : {"oiio:subimages", "oiio:BitsPerSample", "oiio:UnassociatedAlpha"})
		header.erase_attribute(name);
	if (!layout || layout->FormatName != out->format_name())
		header.erase_attribute("compression");
	if (!settings.Compression.empty())
		header.attribute("compression", settings.Compression);
	header.attribute("oiio:UnassociatedAlpha", 1);  // stored as given, see ReadWithImageLibrary
	if (!settings.Software.empty())
		header.attribute("Software", settings.Software);
	if (const std::string space = RecordedColourSpace(context, settings); !space.empty())
		header.attribute("oiio:ColorSpace", space);

	// Every channel as float, interleaved top-down; the library converts.
	const size_t count = pixels.PixelCount();
	const stride_t rowBytes = static_cast<stride_t>(pixels.Width) * 4 * sizeof(float);
	const unsigned char* bottomUp = pixels.Data() + (pixels.Height - 1) * rowBytes;
	std::vector<float> all(count * channels.size());
	const stride_t channelStride = channels.size() * sizeof(float);
	for (size_t c = 0; c < channels.size(); ++c)
		if (channels[c].Slot >= 0)
			OIIO::parallel_convert_image(1, pixels.Width, pixels.Height, 1, bottomUp + channels[c].Slot * sizeof(float),
			                             TypeDesc::FLOAT, 4 * sizeof(float), -rowBytes, OIIO::AutoStride,
			                             all.data() + c, TypeDesc::FLOAT, channelStride, channelStride * pixels.Width,
			                             OIIO::AutoStride);
		else
		{
			const CarriedChannel& carried = context->Carried[channels[c].Carried];
			OIIO::convert_image(1, pixels.Width, pixels.Height, 1, carried.Plane.data(),
			                    TypeDescOf(context->Channels[carried.Channel].Type), OIIO::AutoStride,
			                    OIIO::AutoStride, OIIO::AutoStride, all.data() + c, TypeDesc::FLOAT, channelStride,
			                    channelStride * pixels.Width, OIIO::AutoStride);
		}

	CheckedFile file(fd, target);
	out->set_ioproxy(&file);
	const bool written = out->open(target, header) && out->write_image(TypeDesc::FLOAT, all.data()) && out->close();
	const std::string why = out->geterror();
	out.reset();
	if (file.Errno)
		throw std::runtime_error(std::strerror(file.Errno));
	if (!written)
		throw std::runtime_error(why.empty() ? "write failed" : why);
}

namespace
{
void SetThreads(int threads)
{
	OIIO::attribute("threads", threads);
}

void StopThreads()
{
	OIIO::default_thread_pool()->resize(0);
}

bool Readable(const std::string& path)
{
	const bool opened = ImageInput::open(path) != nullptr;
	OIIO::geterror();  // a refused file is an answer, not an error to keep
	return opened;
}

const ImageLibrary Library{ReadWithImageLibrary, WriteWithImageLibrary, MakeContactSheet, SetThreads,
                           Readable, StopThreads};
}

extern "C" __attribute__((visibility("default"))) const ImageLibrary* QzImageLibrary()
{
	return &Library;
}
