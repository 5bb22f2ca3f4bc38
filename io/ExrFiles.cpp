// OpenEXR files, read and written with the OpenEXR library: channels are
// decoded straight into the picture's layout (flipped bottom-up, B, G, R, A),
// the header is kept whole, a tiled part is written tiled again with its
// levels made anew, and the parts a tool does not touch are copied as
// compressed chunks.
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfConvert.h>
#include <OpenEXR/ImfDeepScanLineInputPart.h>
#include <OpenEXR/ImfDeepScanLineOutputPart.h>
#include <OpenEXR/ImfDeepTiledInputPart.h>
#include <OpenEXR/ImfDeepTiledOutputPart.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfInputPart.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfOutputPart.h>
#include <OpenEXR/ImfPartType.h>
#include <OpenEXR/ImfRationalAttribute.h>
#include <OpenEXR/ImfRgbaFile.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfThreading.h>
#include <OpenEXR/ImfTiledInputPart.h>
#include <OpenEXR/ImfTiledOutputPart.h>
#include <OpenEXR/ImfVersion.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "ExrFiles.h"
#include "FileFormats.h"
#include "qz/io/HalfFloats.h"

Imf::PixelType PixelTypeOf(StoredType type)
{
	switch (type)
	{
	case StoredType::UInt32: return Imf::UINT;
	case StoredType::Float: return Imf::FLOAT;
	default: return Imf::HALF;
	}
}

namespace
{
StoredType TypeOf(Imf::PixelType type)
{
	switch (type)
	{
	case Imf::UINT: return StoredType::UInt32;
	case Imf::HALF: return StoredType::Half;
	default: return StoredType::Float;
	}
}


const char* const CompressionNames[] = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};

std::string CompressionName(Imf::Compression compression)
{
	const int index = static_cast<int>(compression);
	return index >= 0 && index < static_cast<int>(std::size(CompressionNames)) ? CompressionNames[index] : "";
}

// A slice of float channel `slot` over the picture, which stores rows
// bottom-up: file row y of the data window is picture row
// (minY + height - 1 - y). The base is where pixel (0, 0) would lie, as the
// library addresses pixels; integer arithmetic keeps it out of our own
// pointer arithmetic.
Imf::Slice PictureSlice(const Image& image, const Imath::Box2i& data, int slot)
{
	const intptr_t rowBytes = static_cast<intptr_t>(image.Width) * 4 * sizeof(float);
	const intptr_t first = reinterpret_cast<intptr_t>(image.Data()) + (image.Height - 1) * rowBytes + slot * 4;
	const intptr_t base = first - intptr_t(data.min.x) * 16 + intptr_t(data.min.y) * rowBytes;
	return Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(base), 4 * sizeof(float), static_cast<size_t>(-rowBytes));
}

Imf::Slice CarriedSlice(const StoredChannel& channel, const std::vector<unsigned char>& plane,
                        const Imath::Box2i& data)
{
	const size_t size = SizeOf(channel.Type);
	const int64_t width = (int64_t(data.max.x) - data.min.x + 1) / channel.XSampling;
	return Imf::Slice::Make(PixelTypeOf(channel.Type), plane.data(), data, size, size * width, channel.XSampling,
	                        channel.YSampling);
}

Window WindowOf(const Imath::Box2i& box)
{
	return {box.min.x, box.min.y, box.max.x - box.min.x + 1, box.max.y - box.min.y + 1};
}

Imath::Box2i BoxOf(const Window& window)
{
	return Imath::Box2i({window.X, window.Y}, {window.X + window.Width - 1, window.Y + window.Height - 1});
}

// An output stream that writes through a file descriptor and reports every
// failed write (a full disk, a size limit) as an exception.
class DescriptorStream final : public Imf::OStream
{
public:
	explicit DescriptorStream(int fd) : Imf::OStream("qz output"), Fd(fd) {}

	void write(const char c[], int n) override
	{
		if (const int error = WriteAt(Fd, c, static_cast<size_t>(n), Position))
			throw std::runtime_error(std::strerror(error));
		Position += n;
	}
	uint64_t tellp() override { return Position; }
	void seekp(uint64_t position) override { Position = position; }

private:
	int Fd;
	uint64_t Position = 0;
};

// Channel `slot` of the picture as half or unsigned int values, top-down:
// half rounds to the nearest value, unsigned int truncates and clamps
// (NaN writes 0), as the library converts when it reads.
std::vector<unsigned char> ConvertChannel(const Image& pixels, int slot, Imf::PixelType type)
{
	const size_t size = type == Imf::HALF ? 2 : 4;
	std::vector<unsigned char> plane(pixels.PixelCount() * size);
	const float* picture = reinterpret_cast<const float*>(pixels.Data());
	for (int fileRow = 0; fileRow < pixels.Height; ++fileRow)
	{
		const float* row = picture + static_cast<size_t>(pixels.Height - 1 - fileRow) * pixels.Width * 4 + slot;
		unsigned char* out = plane.data() + static_cast<size_t>(fileRow) * pixels.Width * size;
		if (type == Imf::HALF)
		{
			ToHalf(row, 4, out, pixels.Width);
			continue;
		}
		for (int x = 0; x < pixels.Width; ++x)
		{
			const unsigned int value = Imf::floatToUint(row[4 * x]);
			std::memcpy(out + 4 * x, &value, 4);
		}
	}
	return plane;
}

// Every attribute of `from` into `to` (a tiled part's tile description
// included: it is written tiled again), but the chunk table, which is the
// library's to count. (Copying leaves it out rather than erasing it
// afterwards, which this version of the library does not free.)
void CopyAttributes(const Imf::Header& from, Imf::Header& to)
{
	for (auto attribute = from.begin(); attribute != from.end(); ++attribute)
		if (std::strcmp(attribute.name(), "chunkCount") != 0)
			to.insert(attribute.name(), attribute.attribute());
}

// Copies part `index` of `source` into `out` as it is stored.
void CopyPart(Imf::MultiPartInputFile& source, Imf::MultiPartOutputFile& out, int index)
{
	const std::string type = source.header(index).type();
	if (type == Imf::TILEDIMAGE)
	{
		Imf::TiledInputPart in(source, index);
		Imf::TiledOutputPart(out, index).copyPixels(in);
	}
	else if (type == Imf::DEEPSCANLINE)
	{
		Imf::DeepScanLineInputPart in(source, index);
		Imf::DeepScanLineOutputPart(out, index).copyPixels(in);
	}
	else if (type == Imf::DEEPTILE)
	{
		Imf::DeepTiledInputPart in(source, index);
		Imf::DeepTiledOutputPart(out, index).copyPixels(in);
	}
	else
	{
		Imf::InputPart in(source, index);
		Imf::OutputPart(out, index).copyPixels(in);
	}
}
}


namespace
{
// A single-part file that stores luminance and chroma (Y, RY, BY) in place
// of R, G and B, as cameras and converters write them.
bool IsLuminanceChroma(const FileContext& context)
{
	if (context.PartCount != 1)
		return false;
	std::set<std::string> names;
	for (const StoredChannel& channel : context.Channels)
		names.insert(channel.Name);
	return names.count("Y") && (names.count("RY") || names.count("BY")) && !names.count("R") && !names.count("G") &&
	       !names.count("B");
}

// The picture's channels as OpenEXR's RGBA interface gives them: R, G and B
// in place of Y, RY and BY, then A and the channels that ride along.
void TakeLuminanceChromaAsRgb(FileContext& context)
{
	std::vector<StoredChannel> channels{{"R", StoredType::Half}, {"G", StoredType::Half}, {"B", StoredType::Half}};
	for (const StoredChannel& channel : context.Channels)
		if (channel.Name == "A")
			channels.push_back(channel);
	const bool alpha = channels.size() == 4;
	for (const StoredChannel& channel : context.Channels)
		if (channel.Name != "Y" && channel.Name != "RY" && channel.Name != "BY" && channel.Name != "A")
			channels.push_back(channel);
	context.Channels = std::move(channels);
	context.Taken[0] = 0, context.Taken[1] = 1, context.Taken[2] = 2, context.Taken[3] = alpha ? 3 : -1;
}

// Reads R, G, B and A through OpenEXR's RGBA interface, which rebuilds RGB
// from luminance and subsampled chroma with the file's chromaticities.
void ReadLuminanceChroma(const std::string& path, const Imath::Box2i& data, Image& pixels)
{
	Imf::RgbaInputFile file(path.c_str(), Imf::globalThreadCount());
	const size_t width = pixels.Width;
	std::vector<Imf::Rgba> rows(width * pixels.Height);
	file.setFrameBuffer(rows.data() - data.min.x - int64_t(data.min.y) * int64_t(width), 1, width);
	file.readPixels(data.min.y, data.max.y);
	FltPixel pixel;
	for (int y = 0; y < pixels.Height; ++y)
		for (size_t x = 0; x < width; ++x)
		{
			const Imf::Rgba& rgba = rows[y * width + x];
			pixel.R = rgba.r, pixel.G = rgba.g, pixel.B = rgba.b, pixel.A = rgba.a;
			pixels.WritePixel((pixels.Height - 1 - y) * width + x, pixel);  // the picture's rows run bottom-up
		}
}

// OpenEXR sizes an attribute's value by the size its header gives before
// reading it, so a damaged size would have a file of a few hundred bytes
// allocate gigabytes. Walks the headers' attributes (name, type, size, value)
// and throws `ReadError` when one claims more bytes than follow it; a header
// cut short is left for the library to report.
void CheckAttributeSizes(const std::string& path)
{
	std::ifstream in(path, std::ios::binary | std::ios::ate);
	const std::streamoff fileSize = in.tellg();
	unsigned char version[4] = {};
	in.seekg(4).read(reinterpret_cast<char*>(version), 4);
	const bool multiPart = version[1] & 0x10;  // version flag bit 12
	bool emptyHeader = true;
	for (std::string name, type; std::getline(in, name, '\0');)
	{
		if (name.empty())  // the end of a header; an empty one ends a multi-part file's list
		{
			if (!multiPart || emptyHeader)
				return;
			emptyHeader = true;
			continue;
		}
		emptyHeader = false;
		unsigned char size[4];
		if (!std::getline(in, type, '\0') || !in.read(reinterpret_cast<char*>(size), 4))
			return;
		const int32_t bytes = static_cast<int32_t>(uint32_t(size[0]) | uint32_t(size[1]) << 8 |
		                                           uint32_t(size[2]) << 16 | uint32_t(size[3]) << 24);
		if (bytes < 0)  // the library refuses it
			return;
		if (bytes > fileSize - std::streamoff(in.tellg()))
			throw ReadError(path, "its header is damaged: attribute \"" + name + "\" claims " + std::to_string(bytes) +
			                          " bytes, more than the file holds");
		in.seekg(bytes, std::ios::cur);
	}
}
}

bool IsExrFile(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	char magic[4] = {};
	in.read(magic, 4);
	return in && Imf::isImfMagic(magic);
}

bool IsExrPath(const std::string& path)
{
	const size_t dot = path.rfind('.');
	std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
	for (char& c : extension)
		c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
	return extension == "exr";
}

std::optional<double> ExrFramesPerSecond(const std::string& path)
{
	try
	{
		CheckAttributeSizes(path);
		Imf::MultiPartInputFile file(path.c_str(), Imf::globalThreadCount());
		// OpenEXR's standard name, and the one OpenImageIO writes.
		for (const char* name : {"framesPerSecond", "FramesPerSecond"})
			if (const auto* rate = file.header(0).findTypedAttribute<Imf::RationalAttribute>(name))
				if (const double fps = double(rate->value()); std::isfinite(fps) && fps > 0)
					return fps;
	}
	catch (const std::exception&)
	{
	}
	return std::nullopt;  // the file's read says what is wrong with it
}

bool IsCompleteExr(const std::string& path)
{
	try
	{
		CheckAttributeSizes(path);
		Imf::MultiPartInputFile file(path.c_str(), Imf::globalThreadCount());
		for (int part = 0; part < file.parts(); ++part)
			if (!file.partComplete(part))
				return false;
		return true;
	}
	catch (const std::exception&)
	{
		return false;
	}
}

Picture ReadExr(const ImageSource& source)
{
	const std::string& path = source.Path;
	try
	{
		CheckAttributeSizes(path);
		Imf::MultiPartInputFile file(path.c_str(), Imf::globalThreadCount());
		auto context = std::make_shared<FileContext>();
		context->Path = path;
		context->IsExr = true;
		context->FormatName = "openexr";
		context->PartCount = file.parts();
		std::vector<std::string> names;
		for (int i = 0; i < file.parts(); ++i)
			names.push_back(file.header(i).hasName() ? file.header(i).name() : "");
		context->PartIndex = ChoosePart(source, names);
		const Imf::Header& header = file.header(context->PartIndex);
		if (header.hasType() && Imf::isDeepData(header.type()))
			throw ReadError(path, "part " + std::to_string(context->PartIndex) + " holds deep data, which qz does not read");
		const Imath::Box2i data = header.dataWindow();
		context->Data = WindowOf(data);
		context->Display = WindowOf(header.displayWindow());
		context->Compression = CompressionName(header.compression());
		size_t pixelBytes = 0;
		for (auto channel = header.channels().begin(); channel != header.channels().end(); ++channel)
		{
			context->Channels.push_back({channel.name(), TypeOf(channel.channel().type), channel.channel().xSampling,
			                             channel.channel().ySampling});
			pixelBytes += SizeOf(context->Channels.back().Type);
		}
		CheckSize(path, context->Data, pixelBytes, context->Compression);
		const bool luminanceChroma = source.Layer.empty() && source.Channel.empty() && IsLuminanceChroma(*context);
		if (luminanceChroma)
			TakeLuminanceChromaAsRgb(*context);
		else
			ChooseChannels(source, *context);

		SharedImage pixels = ShareImage(
			new Image(context->Data.Width, context->Data.Height, PixelFormat::Float, {}, NewPixels::Unset));
		Imf::FrameBuffer frame;
		for (int i = 0; i < 4 && !luminanceChroma; ++i)
			if (context->Taken[i] >= 0 && !(context->Gray() && i > 0))
				frame.insert(context->Channels[context->Taken[i]].Name, PictureSlice(*pixels, data, SlotOf[i]));
		for (size_t c = 0; c < context->Channels.size(); ++c)
		{
			const StoredChannel& channel = context->Channels[c];
			if (std::find(context->Taken, context->Taken + 4, static_cast<int>(c)) != context->Taken + 4)
				continue;
			const size_t samples = static_cast<size_t>(context->Data.Width / channel.XSampling) *
			                       static_cast<size_t>(context->Data.Height / channel.YSampling);
			context->Carried.push_back({static_cast<int>(c), std::vector<unsigned char>(samples * SizeOf(channel.Type))});
			frame.insert(channel.Name, CarriedSlice(channel, context->Carried.back().Plane, data));
		}
		Imf::InputPart part(file, context->PartIndex);
		if (frame.begin() != frame.end())  // a luminance and chroma file may carry nothing more
		{
			part.setFrameBuffer(frame);
			part.readPixels(data.min.y, data.max.y);
		}
		if (luminanceChroma)
			ReadLuminanceChroma(path, data, *pixels);
		else
			CompletePicture(*context, *pixels);
		context->NativeHeader = std::make_shared<Imf::Header>(header);
		if (const auto* space = header.findTypedAttribute<Imf::StringAttribute>("oiio:ColorSpace"))
			context->ColorSpace = space->value();
		return {pixels, context};
	}
	catch (const HostError&)
	{
		throw;
	}
	catch (const std::bad_alloc&)
	{
		throw ReadError(path, "not enough memory for its pixels");
	}
	catch (const std::exception& e)
	{
		throw ReadError(path, e.what());
	}
}

void WriteExr(const Image& pixels, const FileContext* context, int fd, const WriteSettings& settings)
{
	const Window full{0, 0, pixels.Width, pixels.Height};
	const bool sameSize = context && context->Data.Width == pixels.Width && context->Data.Height == pixels.Height;
	Imf::Header header(pixels.Width, pixels.Height);
	if (context && context->IsExr)
		CopyAttributes(*static_cast<const Imf::Header*>(context->NativeHeader.get()), header);
	header.dataWindow() = BoxOf(sameSize ? context->Data : full);
	header.displayWindow() = BoxOf(sameSize ? context->Display : full);
	const Imath::Box2i data = header.dataWindow();

	// The picture and what rides along, in the written types.
	const std::vector<WrittenChannel> channels =
		ChannelsToWrite(pixels, sameSize ? context : nullptr, WrittenType(pixels, context, settings), true, true);
	Imf::ChannelList list;
	Imf::FrameBuffer frame;
	std::vector<std::vector<unsigned char>> converted;  // the library writes each channel in its own type
	converted.reserve(channels.size());
	for (const WrittenChannel& channel : channels)
		if (channel.Slot >= 0 && PixelTypeOf(channel.Type) == Imf::FLOAT)
		{
			list.insert(channel.Name, Imf::Channel(Imf::FLOAT));
			frame.insert(channel.Name, PictureSlice(pixels, data, channel.Slot));
		}
		else if (channel.Slot >= 0)
		{
			const Imf::PixelType type = PixelTypeOf(channel.Type);
			converted.push_back(ConvertChannel(pixels, channel.Slot, type));
			const size_t size = type == Imf::HALF ? 2 : 4;
			list.insert(channel.Name, Imf::Channel(type));
			frame.insert(channel.Name, Imf::Slice::Make(type, converted.back().data(), data, size, size * pixels.Width));
		}
		else
		{
			const CarriedChannel& carried = context->Carried[channel.Carried];
			const StoredChannel& stored = context->Channels[carried.Channel];
			list.insert(channel.Name, Imf::Channel(PixelTypeOf(stored.Type), stored.XSampling, stored.YSampling));
			frame.insert(channel.Name, CarriedSlice(stored, carried.Plane, data));
		}
	header.channels() = list;

	const bool tiled = header.hasTileDescription();
	header.setType(tiled ? Imf::TILEDIMAGE : Imf::SCANLINEIMAGE);
	const std::string compression = settings.Compression;
	if (!compression.empty())
	{
		const std::string method = compression.substr(0, compression.find(':'));
		const auto name = std::find(std::begin(CompressionNames), std::end(CompressionNames), method);
		header.compression() = static_cast<Imf::Compression>(name - std::begin(CompressionNames));
		if (compression.find(':') != std::string::npos)
		{
			const int level = std::stoi(compression.substr(compression.find(':') + 1));
			header.zipCompressionLevel() = level;
			header.dwaCompressionLevel() = static_cast<float>(level);
		}
	}
	else if (!context || !context->IsExr)
		header.compression() = Imf::ZIP_COMPRESSION;
	if (!settings.Software.empty())
		header.insert("Software", Imf::StringAttribute(settings.Software));
	if (const std::string space = RecordedColourSpace(context, settings); !space.empty())
		header.insert("oiio:ColorSpace", Imf::StringAttribute(space));

	// The other parts of a multi-part file, copied as they are stored.
	std::unique_ptr<Imf::MultiPartInputFile> source;
	std::vector<Imf::Header> headers{header};
	int index = 0;
	if (context && context->IsExr && context->PartCount > 1 && sameSize)
	{
		source = std::make_unique<Imf::MultiPartInputFile>(context->Path.c_str(), Imf::globalThreadCount());
		headers.clear();
		for (int i = 0; i < source->parts(); ++i)
			headers.push_back(i == context->PartIndex ? header : source->header(i));
		index = context->PartIndex;
	}
	DescriptorStream stream(fd);
	Imf::MultiPartOutputFile out(stream, headers.data(), static_cast<int>(headers.size()), false,
	                             Imf::globalThreadCount());
	for (int i = 0; i < static_cast<int>(headers.size()); ++i)
		if (i == index && tiled)
			WriteTiledPart(out, i, frame, pixels, context, channels);
		else if (i == index)
		{
			Imf::OutputPart part(out, i);
			part.setFrameBuffer(frame);
			part.writePixels(pixels.Height);
		}
		else
			CopyPart(*source, out, i);
}
