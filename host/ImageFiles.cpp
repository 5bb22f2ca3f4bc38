#include "ImageFiles.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>

#include "HostError.h"

namespace fs = std::filesystem;
using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;
using OIIO::AutoStride;
using OIIO::stride_t;

// Float offsets of red, green, blue and alpha in a pixel (B, G, R, A in memory).
static constexpr int SlotOf[4] = {2, 1, 0, 3};

// ---------------------------------------------------------------------------
// Sources

ImageSource ImageSource::Parse(const std::string& text)
{
	ImageSource source;
	source.Path = text;
	// Keys are taken from the end, so a path may itself contain ':'.
	for (;;)
	{
		const size_t colon = source.Path.rfind(':');
		if (colon == std::string::npos)
			break;
		const std::string item = source.Path.substr(colon + 1);
		const size_t equals = item.find('=');
		const std::string key = item.substr(0, equals);
		std::string* value = key == "part"         ? &source.Part
		                     : key == "layer"      ? &source.Layer
		                     : key == "channel"    ? &source.Channel
		                     : key == "colorspace" ? &source.ColorSpace
		                                           : nullptr;
		if (!value || equals == std::string::npos)
			break;
		if (!value->empty())
			throw HostError(ExitUsage, "image " + text + ": \"" + key + "\" is given twice");
		*value = item.substr(equals + 1);
		if (value->empty())
			throw HostError(ExitUsage, "image " + text + ": \"" + key + "=\" needs a value");
		source.Path.erase(colon);
	}
	if (source.Path.empty())
		throw HostError(ExitUsage, "image \"" + text + "\" names no file");
	if (!source.Layer.empty() && !source.Channel.empty())
		throw HostError(ExitUsage, "image " + text + ": give a layer or a channel, not both");
	return source;
}

std::string ImageSource::Selection() const
{
	std::string text;
	for (const auto& [key, value] :
	     {std::pair{"part", &Part}, {"layer", &Layer}, {"channel", &Channel}, {"colorspace", &ColorSpace}})
		if (!value->empty())
			text += std::string(":") + key + "=" + *value;
	return text;
}

// ---------------------------------------------------------------------------
// Reading

namespace
{
HostError ReadError(const std::string& path, const std::string& why)
{
	return HostError(ExitRenderFailed, "cannot read image " + path + ": " + why);
}

std::string PartName(const ImageSpec& spec)
{
	return spec.get_string_attribute("name");
}

std::string LayerOf(const std::string& channel)
{
	const size_t dot = channel.rfind('.');
	return dot == std::string::npos ? "" : channel.substr(0, dot);
}

std::string BaseOf(const std::string& channel)
{
	const size_t dot = channel.rfind('.');
	return dot == std::string::npos ? channel : channel.substr(dot + 1);
}

// "layers N, P; channels R G B A N.X N.Y N.Z P.x P.y P.z"
std::string DescribeChannels(const ImageSpec& spec)
{
	std::vector<std::string> layers;
	std::string channels;
	for (const std::string& name : spec.channelnames)
	{
		const std::string layer = LayerOf(name);
		if (!layer.empty() && std::find(layers.begin(), layers.end(), layer) == layers.end())
			layers.push_back(layer);
		channels += (channels.empty() ? "" : " ") + name;
	}
	std::string text;
	for (const std::string& layer : layers)
		text += (text.empty() ? "layers " : ", ") + layer;
	return text + (text.empty() ? "" : "; ") + "channels " + channels;
}

std::string DescribeParts(const std::vector<ImageSpec>& parts)
{
	std::string text = "parts";
	for (size_t i = 0; i < parts.size(); ++i)
		text += (i ? ", " : " ") + std::to_string(i) + (PartName(parts[i]).empty() ? "" : " \"" + PartName(parts[i]) + "\"");
	return text;
}

int FindChannel(const ImageSpec& spec, const std::string& name)
{
	for (int c = 0; c < spec.nchannels; ++c)
		if (spec.channelnames[c] == name)
			return c;
	return -1;
}

// The channels of `layer` ("" for the unlayered ones) that become R, G, B, A,
// by the usual names of colour, vector and point channels.
bool TakeLayer(const ImageSpec& spec, const std::string& layer, FileContext& context)
{
	const std::string prefix = layer.empty() ? "" : layer + ".";
	static const char* const Names[3][4] = {{"R", "G", "B", "A"}, {"X", "Y", "Z", "A"}, {"x", "y", "z", "a"}};
	for (int set = 0; set < 3; ++set)
	{
		const char* const* names = Names[set];
		int found[4];
		for (int i = 0; i < 4; ++i)
			found[i] = FindChannel(spec, prefix + names[i]);
		// Any colour channel makes a colour picture; a vector needs x and y,
		// so that a lone Z is a depth channel.
		if (set == 0 ? found[0] < 0 && found[1] < 0 && found[2] < 0 : found[0] < 0 || found[1] < 0)
			continue;
		std::copy(found, found + 4, context.Taken);
		if (context.Taken[3] < 0)
			context.Taken[3] = FindChannel(spec, prefix + (set == 2 ? "A" : "a"));
		context.LayerPrefix = prefix;
		return true;
	}
	// A layer of one channel, or one channel and alpha, is a gray picture.
	std::vector<int> members;
	for (int c = 0; c < spec.nchannels; ++c)
		if (LayerOf(spec.channelnames[c]) == layer && BaseOf(spec.channelnames[c]) != "A" &&
		    BaseOf(spec.channelnames[c]) != "a")
			members.push_back(c);
	if (members.size() != 1)
		return false;
	context.Taken[0] = context.Taken[1] = context.Taken[2] = members[0];
	context.Taken[3] = FindChannel(spec, prefix + "A");
	context.LayerPrefix = prefix;
	return true;
}

void ChooseChannels(const ImageSpec& spec, const ImageSource& source, FileContext& context)
{
	const std::string& path = source.Path;
	if (!source.Channel.empty())
	{
		const int c = FindChannel(spec, source.Channel);
		if (c < 0)
			throw ReadError(path, "it has no channel \"" + source.Channel + "\" (" + DescribeChannels(spec) + ")");
		context.Taken[0] = context.Taken[1] = context.Taken[2] = c;
		context.LayerPrefix = source.Channel + ".";
		return;
	}
	if (!source.Layer.empty())
	{
		if (!TakeLayer(spec, source.Layer, context))
			throw ReadError(path, "it has no layer \"" + source.Layer + "\" of R/G/B, X/Y/Z or x/y/z channels (" +
			                          DescribeChannels(spec) + ")");
		return;
	}
	for (const char* chroma : {"RY", "BY"})
		if (FindChannel(spec, chroma) >= 0)
			throw ReadError(path, "it holds luminance and chroma (Y, RY, BY), which qz does not read; "
			                      "convert it to RGB first (" + DescribeChannels(spec) + ")");
	if (!TakeLayer(spec, "", context))
		throw ReadError(path, "it has no R, G or B channels; choose a layer or channel, as in " + path +
		                          ":layer=NAME or :channel=NAME (" + DescribeChannels(spec) + ")");
}

// Decoded bytes a file of this size and compression could plausibly hold. The
// ratios are well above what each method reaches on a constant image.
bool CouldHold(const ImageSpec& spec, uintmax_t fileBytes)
{
	const std::string compression = spec.get_string_attribute("compression");
	const std::string method = compression.substr(0, compression.find(':'));
	const double ratio = method == "none" ? 1.1 : method == "rle" ? 200.0 : method == "b44" || method == "b44a" ? 8.0
	                     : method == "dwaa" || method == "dwab"                                           ? 1 << 17
	                                                                                                      : 1 << 12;
	const double decoded = double(spec.width) * spec.height * spec.pixel_bytes(true);
	return decoded <= double(fileBytes) * ratio + double(16 << 20);
}

void CheckSize(const std::string& path, const ImageSpec& spec)
{
	const long long pixels = static_cast<long long>(spec.width) * spec.height;
	const std::string size = std::to_string(spec.width) + " x " + std::to_string(spec.height);
	if (spec.width <= 0 || spec.height <= 0)
		throw ReadError(path, "it has no pixels (" + size + ")");
	if (spec.depth > 1)
		throw ReadError(path, "it is a volume image, which qz does not read");
	if (spec.deep)
		throw ReadError(path, "it holds deep data, which qz does not read");
	if (pixels > MaxFilePixels)
		throw ReadError(path, "its header claims " + size + " pixels, more than the " + std::to_string(MaxFilePixels) +
		                          " qz reads");
	std::error_code ec;
	const uintmax_t bytes = fs::file_size(path, ec);
	if (!ec && !CouldHold(spec, bytes))
		throw ReadError(path, "its header claims " + size + " pixels of " + std::to_string(spec.nchannels) +
		                          " channels, far more than its " + std::to_string(bytes) + " bytes can hold");
}

size_t ChannelOffset(const ImageSpec& spec, int channel)
{
	size_t offset = 0;
	for (int c = 0; c < channel; ++c)
		offset += spec.channelformat(c).size();
	return offset;
}

// Converts R, G, B and A of the selection into float B, G, R, A rows,
// turning them bottom-up.
void UnpackPicture(const ImageSpec& spec, const unsigned char* stored, const FileContext& context, Image& image)
{
	const stride_t rowBytes = static_cast<stride_t>(image.Width) * 4 * sizeof(float);
	unsigned char* bottomUp = image.Data() + (image.Height - 1) * rowBytes;
	const stride_t storedPixel = spec.pixel_bytes(true);
	for (int i = 0; i < 4; ++i)
	{
		unsigned char* dst = bottomUp + SlotOf[i] * sizeof(float);
		const int c = context.Taken[i];
		if (c >= 0)
		{
			OIIO::parallel_convert_image(1, image.Width, image.Height, 1, stored + ChannelOffset(spec, c),
			                             spec.channelformat(c), storedPixel, storedPixel * image.Width, AutoStride, dst,
			                             TypeDesc::FLOAT, 4 * sizeof(float), -rowBytes, AutoStride);
			continue;
		}
		const float missing = i == 3 ? 1.0f : 0.0f;  // no alpha reads as opaque
		for (size_t p = 0, n = image.PixelCount(); p < n; ++p)
			std::memcpy(image.Data() + p * 4 * sizeof(float) + SlotOf[i] * sizeof(float), &missing, sizeof(float));
	}
}

void ConvertToLinear(Image& image, const std::string& colorSpace, const std::string& path)
{
	// Red, green and blue in file order for the colour conversion.
	OIIO::ImageBuf bgra(ImageSpec(image.Width, image.Height, 4, TypeDesc::FLOAT), image.Data());
	OIIO::ImageBuf rgba = OIIO::ImageBufAlgo::channels(bgra, 4, {2, 1, 0, 3});
	if (!OIIO::ImageBufAlgo::colorconvert(rgba, rgba, colorSpace, "linear"))
		throw ReadError(path, "cannot convert from colour space \"" + colorSpace + "\": " + rgba.geterror());
	OIIO::ImageBufAlgo::channels(bgra, rgba, 4, {2, 1, 0, 3});
}
}

Picture ReadPicture(const ImageSource& source)
{
	const std::string& path = source.Path;
	std::error_code ec;
	if (fs::is_directory(path, ec))
		throw ReadError(path, "it is a directory");
	if (!fs::exists(path, ec))
		throw ReadError(path, "no such file");

	// Channel values as stored: formats with unassociated alpha (PNG) are not
	// premultiplied on the way in, so data passes and round trips stay exact.
	ImageSpec config;
	config.attribute("oiio:UnassociatedAlpha", 1);
	std::unique_ptr<ImageInput> in = ImageInput::open(path, &config);
	if (!in)
		throw ReadError(path, OIIO::geterror());

	std::vector<ImageSpec> parts;
	for (int i = 0; in->seek_subimage(i, 0); ++i)
		parts.push_back(in->spec());
	in->geterror();  // seeking past the last part is not a fault
	if (parts.empty())
		throw ReadError(path, "it holds no image");

	auto context = std::make_shared<FileContext>();
	context->Path = path;
	context->FormatName = in->format_name();
	context->PartCount = static_cast<int>(parts.size());
	if (!source.Part.empty())
	{
		const bool isIndex = source.Part.find_first_not_of("0123456789") == std::string::npos && source.Part.size() < 9;
		int found = -1;
		for (int i = 0; i < context->PartCount && found < 0; ++i)
			if (isIndex ? std::stoi(source.Part) == i : PartName(parts[i]) == source.Part)
				found = i;
		if (found < 0)
			throw ReadError(path, "it has no part \"" + source.Part + "\" (" + DescribeParts(parts) + ")");
		context->PartIndex = found;
	}
	const ImageSpec& spec = parts[context->PartIndex];
	CheckSize(path, spec);
	context->Header = spec;
	ChooseChannels(spec, source, *context);

	try
	{
		std::vector<unsigned char> stored(static_cast<size_t>(spec.image_bytes(true)));
		if (!in->read_image(context->PartIndex, 0, 0, spec.nchannels, TypeDesc::UNKNOWN, stored.data()) ||
		    in->has_error())
		{
			const std::string why = in->geterror();
			throw ReadError(path, why.empty() ? "the file is incomplete" : why);
		}
		SharedImage pixels =
			ShareImage(new Image(spec.width, spec.height, PixelFormat::Float, {}, NewPixels::Unset));
		UnpackPicture(spec, stored.data(), *context, *pixels);
		if (!source.ColorSpace.empty())
			ConvertToLinear(*pixels, source.ColorSpace, path);

		// The stored channels are kept only when some of them ride along.
		for (int c = 0; c < spec.nchannels; ++c)
			if (std::find(context->Taken, context->Taken + 4, c) == context->Taken + 4)
			{
				context->Stored = std::move(stored);
				break;
			}
		return {pixels, context};
	}
	catch (const std::bad_alloc&)
	{
		throw ReadError(path, "not enough memory for its " + std::to_string(spec.width) + " x " +
		                          std::to_string(spec.height) + " pixels");
	}
}

Image* ReadImageFile(const std::string& path)
{
	Picture picture = ReadPicture(ImageSource{path, "", "", "", ""});
	picture.Pixels->Use();
	return picture.Pixels.get();
}

// ---------------------------------------------------------------------------
// Lining inputs up

SharedImage LineUp(const Picture& input, const FileContext* main)
{
	if (!main || !input.Context)
		return input.Pixels;
	const ImageSpec& a = main->Header;
	const ImageSpec& b = input.Context->Header;
	const bool sameDisplay =
		a.full_x == b.full_x && a.full_y == b.full_y && a.full_width == b.full_width && a.full_height == b.full_height;
	const bool sameData = a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
	const Image& from = *input.Pixels;
	if (!sameDisplay || sameData || from.Width != b.width || from.Height != b.height || !from.IsPlainFloatRGBA())
		return input.Pixels;

	SharedImage lined = ShareImage(new Image(a.width, a.height));
	const int x0 = std::max(a.x, b.x), x1 = std::min(a.x + a.width, b.x + b.width);
	const int y0 = std::max(a.y, b.y), y1 = std::min(a.y + a.height, b.y + b.height);
	constexpr size_t PixelBytes = 4 * sizeof(float);
	for (int fileY = y0; fileY < y1 && x0 < x1; ++fileY)
	{
		const size_t rowA = a.height - 1 - (fileY - a.y), rowB = b.height - 1 - (fileY - b.y);  // bottom-up
		std::memcpy(lined->Data() + (rowA * a.width + (x0 - a.x)) * PixelBytes,
		            from.Data() + (rowB * b.width + (x0 - b.x)) * PixelBytes, (x1 - x0) * PixelBytes);
	}
	return lined;
}

// ---------------------------------------------------------------------------
// Writing

TypeDesc ParseDataType(const std::string& name)
{
	if (name == "uint8")
		return TypeDesc::UINT8;
	if (name == "uint16")
		return TypeDesc::UINT16;
	if (name == "half")
		return TypeDesc::HALF;
	if (name == "float")
		return TypeDesc::FLOAT;
	throw HostError(ExitUsage, "unknown data type \"" + name + "\" (uint8, uint16, half or float)");
}

void CheckCompression(const std::string& compression, const std::string& path)
{
	const std::string method = compression.substr(0, compression.find(':'));
	const std::string level = compression.find(':') == std::string::npos ? "" : compression.substr(compression.find(':') + 1);
	std::unique_ptr<ImageOutput> out = ImageOutput::create(path);
	const std::string format = out ? out->format_name() : "";
	static const std::vector<std::string> Exr = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
	static const std::vector<std::string> Tiff = {"none", "lzw", "zip", "packbits", "ccittrle", "jpeg"};
	const std::vector<std::string>* known = format == "openexr" ? &Exr : format == "tiff" ? &Tiff : nullptr;
	if (!known)
		throw HostError(ExitUsage, "--compression applies to EXR and TIFF outputs, not " + path);
	std::string list;
	for (const std::string& name : *known)
		list += (list.empty() ? "" : ", ") + name;
	if (std::find(known->begin(), known->end(), method) == known->end())
		throw HostError(ExitUsage, "unknown " + format + " compression \"" + method + "\" (" + list + ")");
	if (compression.find(':') != std::string::npos &&
	    (level.empty() || level.size() > 6 || level.find_first_not_of("0123456789") != std::string::npos))
		throw HostError(ExitUsage, "compression level \"" + level + "\" is not a whole number");
}

namespace
{
// Slots of the temporary files being written, for removal on a signal. Fixed
// storage, so that a signal handler can read it without allocating.
constexpr int MaxPendingWrites = 64;
std::atomic<int> PendingState[MaxPendingWrites];  // 0 free, 1 being filled, 2 in use
char PendingPath[MaxPendingWrites][PATH_MAX];

// Holds a slot for one temporary file while it exists.
class PendingWrite
{
public:
	explicit PendingWrite(const std::string& path)
	{
		if (path.size() >= PATH_MAX)
			return;
		for (int i = 0; i < MaxPendingWrites && Slot < 0; ++i)
		{
			int free = 0;
			if (PendingState[i].compare_exchange_strong(free, 1))
			{
				std::memcpy(PendingPath[i], path.c_str(), path.size() + 1);
				PendingState[i].store(2);
				Slot = i;
			}
		}
	}
	~PendingWrite()
	{
		if (Slot >= 0)
			PendingState[Slot].store(0);
	}
	PendingWrite(const PendingWrite&) = delete;
	PendingWrite& operator=(const PendingWrite&) = delete;

private:
	int Slot = -1;
};

// A file written through the image library that remembers whether any write
// failed (a full disk, a file size limit), which some format writers do not
// report themselves.
class CheckedFile final : public OIIO::Filesystem::IOProxy
{
public:
	CheckedFile(const std::string& path, mode_t mode) : IOProxy(path, Write)
	{
		Fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
		if (Fd < 0)
		{
			Errno = errno;
			m_mode = Closed;
		}
	}
	~CheckedFile() override { close(); }

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
		const ssize_t n = Fd < 0 ? -1 : ::pread(Fd, buf, size, offset);
		return n < 0 ? 0 : static_cast<size_t>(n);
	}
	size_t pwrite(const void* buf, size_t size, int64_t offset) override
	{
		size_t done = 0;
		while (done < size && Fd >= 0)
		{
			const ssize_t n = ::pwrite(Fd, static_cast<const char*>(buf) + done, size - done, offset + done);
			if (n <= 0)
			{
				if (n < 0 && errno == EINTR)
					continue;
				Errno = n < 0 ? errno : ENOSPC;
				break;
			}
			done += n;
		}
		return done;
	}
	size_t size() const override
	{
		struct stat info;
		return Fd >= 0 && ::fstat(Fd, &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
	}
	void close() override
	{
		if (Fd >= 0 && ::close(Fd) != 0 && !Errno)
			Errno = errno;
		Fd = -1;
		m_mode = Closed;
	}

	int Errno = 0;

private:
	int Fd = -1;
};

// One channel of the written part: where its values come from and its type.
struct WrittenChannel
{
	std::string Name;
	TypeDesc Type;
	int Slot = -1;    // float offset in the picture's pixel, or
	int Stored = -1;  // the channel of the context's part that rides along
};

bool IsGray(const Image& image)
{
	const float* p = reinterpret_cast<const float*>(image.Data());
	for (size_t i = 0, n = image.PixelCount(); i < n; ++i, p += 4)
		if (std::memcmp(p, p + 1, sizeof(float)) || std::memcmp(p + 1, p + 2, sizeof(float)))
			return false;
	return true;
}

bool AlphaIsOne(const Image& image)
{
	const float* p = reinterpret_cast<const float*>(image.Data());
	for (size_t i = 0, n = image.PixelCount(); i < n; ++i)
		if (p[4 * i + 3] != 1.0f)
			return false;
	return true;
}

std::string UniqueName(const ImageSpec& spec, const std::string& name, const std::string& otherwise)
{
	return FindChannel(spec, name) < 0 ? name : otherwise;
}

std::vector<WrittenChannel> ChannelsToWrite(const Image& pixels, const FileContext* context, const ImageOutput& out,
                                            TypeDesc type)
{
	static const char* const Rgba[4] = {"R", "G", "B", "A"};
	std::vector<WrittenChannel> channels;
	if (!context)
	{
		for (int i = 0; i < 4; ++i)
			channels.push_back({Rgba[i], type, SlotOf[i]});
		return channels;
	}
	const ImageSpec& spec = context->Header;
	const bool gray = context->Gray() && IsGray(pixels);
	const bool alpha = context->Taken[3] >= 0 || !AlphaIsOne(pixels);
	const std::string alphaName = UniqueName(spec, context->LayerPrefix + "A", context->LayerPrefix + "alpha");
	if (!out.supports("nchannels"))
	{
		// Formats of fixed layouts take the picture alone.
		if (gray)
			channels.push_back({"Y", type, SlotOf[0]});
		else
			for (int i = 0; i < 3; ++i)
				channels.push_back({Rgba[i], type, SlotOf[i]});
		if (alpha && out.supports("alpha"))
			channels.push_back({"A", type, SlotOf[3]});
		return channels;
	}
	for (int c = 0; c < spec.nchannels; ++c)
	{
		const std::string& name = spec.channelnames[c];
		const int* taken = std::find(context->Taken, context->Taken + 4, c);
		if (taken == context->Taken + 4)
		{
			if (!context->Stored.empty())
				channels.push_back({name, spec.channelformat(c), -1, c});
		}
		else if (context->Gray() && taken < context->Taken + 3)
		{
			if (gray)
				channels.push_back({name, type, SlotOf[0]});
			else
				for (int i = 0; i < 3; ++i)
					channels.push_back({UniqueName(spec, context->LayerPrefix + Rgba[i], name + "." + Rgba[i]), type,
					                    SlotOf[i]});
		}
		else
			channels.push_back({name, type, SlotOf[taken - context->Taken]});
	}
	if (alpha && context->Taken[3] < 0)
		channels.push_back({alphaName, type, SlotOf[3]});
	return channels;
}

// The header of the written part: the context's, with the written channels.
ImageSpec HeaderToWrite(const Image& pixels, const FileContext* context, const ImageOutput& out,
                        const std::vector<WrittenChannel>& channels, const WriteSettings& settings)
{
	ImageSpec spec = context ? context->Header : ImageSpec(pixels.Width, pixels.Height, 4, TypeDesc::FLOAT);
	if (spec.width != pixels.Width || spec.height != pixels.Height)
	{
		spec.width = spec.full_width = pixels.Width;
		spec.height = spec.full_height = pixels.Height;
		spec.x = spec.full_x = spec.y = spec.full_y = 0;
	}
	spec.nchannels = static_cast<int>(channels.size());
	spec.channelnames.clear();
	spec.channelformats.clear();
	spec.format = channels.empty() ? TypeDesc::FLOAT : channels.front().Type;
	bool mixed = false;
	for (const WrittenChannel& channel : channels)
	{
		spec.channelnames.push_back(channel.Name);
		mixed = mixed || channel.Type != spec.format;
	}
	if (mixed && out.supports("channelformats"))
		for (const WrittenChannel& channel : channels)
			spec.channelformats.push_back(channel.Type);
	spec.alpha_channel = spec.z_channel = -1;
	for (int c = 0; c < spec.nchannels; ++c)
	{
		if (channels[c].Slot == SlotOf[3])
			spec.alpha_channel = c;
		if (spec.channelnames[c] == "Z")
			spec.z_channel = c;
	}
	if (!out.supports("tiles"))
		spec.tile_width = spec.tile_height = spec.tile_depth = 0;

	// Reading state of the library, and a compression of another format,
	// would not describe the written file.
	for (const char* name : {"oiio:subimages", "oiio:BitsPerSample", "oiio:UnassociatedAlpha"})
		spec.erase_attribute(name);
	if (context && context->FormatName != out.format_name())
		spec.erase_attribute("compression");
	if (!settings.Compression.empty())
		spec.attribute("compression", settings.Compression);
	spec.attribute("oiio:UnassociatedAlpha", 1);  // stored as given, see ReadPicture
	if (!settings.Software.empty())
		spec.attribute("Software", settings.Software);
	return spec;
}

// The written part's pixels in its stored layout, top-down.
std::vector<unsigned char> PackPicture(const Image& pixels, const FileContext* context, const ImageSpec& spec,
                                       const std::vector<WrittenChannel>& channels)
{
	const stride_t pixelBytes = spec.pixel_bytes(true);
	std::vector<unsigned char> packed(static_cast<size_t>(pixelBytes) * pixels.PixelCount());
	const stride_t rowBytes = static_cast<stride_t>(pixels.Width) * 4 * sizeof(float);
	const unsigned char* bottomUp = pixels.Data() + (pixels.Height - 1) * rowBytes;
	size_t offset = 0;
	for (int c = 0; c < spec.nchannels; ++c)
	{
		const WrittenChannel& channel = channels[c];
		const TypeDesc type = spec.channelformat(c);
		unsigned char* dst = packed.data() + offset;
		if (channel.Slot >= 0)
			OIIO::parallel_convert_image(1, pixels.Width, pixels.Height, 1, bottomUp + channel.Slot * sizeof(float),
			                             TypeDesc::FLOAT, 4 * sizeof(float), -rowBytes, AutoStride, dst, type,
			                             pixelBytes, pixelBytes * pixels.Width, AutoStride);
		else
		{
			const ImageSpec& from = context->Header;
			const stride_t storedPixel = from.pixel_bytes(true);
			OIIO::parallel_convert_image(1, pixels.Width, pixels.Height, 1,
			                             context->Stored.data() + ChannelOffset(from, channel.Stored),
			                             from.channelformat(channel.Stored), storedPixel, storedPixel * pixels.Width,
			                             AutoStride, dst, type, pixelBytes, pixelBytes * pixels.Width, AutoStride);
		}
		offset += type.size();
	}
	return packed;
}

// A name beside the target that keeps its extension, so the file format is
// still chosen from it.
fs::path TemporaryPathFor(const fs::path& target)
{
	return target.parent_path() /
	       ("." + target.stem().string() + ".qz-" + std::to_string(getpid()) + "-tmp" + target.extension().string());
}

// Writes the parts of the file: the picture's, and the other parts of the
// context's file as they are stored there.
bool WriteParts(ImageOutput& out, const std::string& temporary, const FileContext* context, const ImageSpec& spec,
                const std::vector<unsigned char>& packed, std::string& why)
{
	std::vector<ImageSpec> specs{spec};
	std::unique_ptr<ImageInput> source;
	if (context && context->PartCount > 1 && out.supports("multiimage") && out.format_name() == std::string("openexr"))
	{
		source = ImageInput::open(context->Path);
		if (!source)
		{
			why = "cannot read the other parts of " + context->Path + ": " + OIIO::geterror();
			return false;
		}
		specs.clear();
		for (int i = 0; i < context->PartCount && source->seek_subimage(i, 0); ++i)
			specs.push_back(i == context->PartIndex ? spec : source->spec());
	}
	if (!out.open(temporary, static_cast<int>(specs.size()), specs.data()))
		return false;
	for (size_t i = 0; i < specs.size(); ++i)
	{
		if (i > 0 && !out.open(temporary, specs[i], ImageOutput::AppendSubimage))
			return false;
		if (!source || static_cast<int>(i) == context->PartIndex)
		{
			if (!out.write_image(TypeDesc::UNKNOWN, packed.data()))
				return false;
			continue;
		}
		std::vector<unsigned char> stored(static_cast<size_t>(specs[i].image_bytes(true)));
		if (!source->read_image(static_cast<int>(i), 0, 0, specs[i].nchannels, TypeDesc::UNKNOWN, stored.data()) ||
		    !out.write_image(TypeDesc::UNKNOWN, stored.data()))
		{
			why = source->geterror();
			return false;
		}
	}
	return out.close();
}
}

void WritePicture(const Image& pixels, const FileContext* context, const std::string& path,
                  const WriteSettings& settings)
{
	const auto fail = [&](const std::string& why) {
		return HostError(ExitRenderFailed, "cannot write image " + path + ": " + why);
	};
	std::error_code ec;
	// A symbolic link is written through: the file it names is replaced.
	fs::path target(path);
	if (fs::is_symlink(target, ec))
		target = fs::weakly_canonical(target, ec);
	if (fs::is_directory(target, ec))
		throw fail("it is a directory");
	const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
	if (!fs::is_directory(folder, ec))
		throw fail("folder " + folder.string() + " does not exist");
	if (!pixels.IsPlainFloatRGBA() && context)
		throw fail("the picture is not float RGBA");

	std::unique_ptr<ImageOutput> out = ImageOutput::create(target.string());
	if (!out)
		throw fail(OIIO::geterror());

	// A replaced file keeps its permissions; a new one gets the usual ones.
	struct stat existing;
	const mode_t mode = ::stat(target.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0666;
	const TypeDesc type = settings.Type   ? *settings.Type
	                      : context       ? context->Header.channelformat(std::max(context->Taken[0], 0))
	                      : pixels.Format() == PixelFormat::UInt8  ? TypeDesc::UINT8
	                      : pixels.Format() == PixelFormat::UInt16 ? TypeDesc::UINT16
	                      : pixels.Format() == PixelFormat::Half   ? TypeDesc::HALF
	                                                               : TypeDesc::FLOAT;

	std::vector<unsigned char> packed;
	ImageSpec spec;
	try
	{
		if (context || pixels.IsPlainFloatRGBA())
		{
			const std::vector<WrittenChannel> channels = ChannelsToWrite(pixels, context, *out, type);
			spec = HeaderToWrite(pixels, context, *out, channels, settings);
			packed = PackPicture(pixels, context, spec, channels);
		}
		else
		{
			// An image of another stored format, from the demo or a test.
			ImageHandle plain(new Image(pixels.Width, pixels.Height));
			for (size_t i = 0; i < pixels.PixelCount(); ++i)
			{
				FltPixel pixel;
				pixels.ReadPixel(i, pixel);
				plain->WritePixel(i, pixel);
			}
			const std::vector<WrittenChannel> channels = ChannelsToWrite(*plain, nullptr, *out, type);
			spec = HeaderToWrite(*plain, nullptr, *out, channels, settings);
			packed = PackPicture(*plain, nullptr, spec, channels);
		}
	}
	catch (const std::bad_alloc&)
	{
		throw fail("not enough memory");
	}

	const fs::path temporary = TemporaryPathFor(target);
	PendingWrite pending(temporary.string());
	CheckedFile file(temporary.string(), mode);
	if (file.Errno)
		throw fail(std::strerror(file.Errno));
	out->set_ioproxy(&file);
	std::string why;
	const bool written = WriteParts(*out, temporary.string(), context, spec, packed, why);
	if (why.empty())
		why = out->geterror();
	out.reset();
	file.close();
	if (!written || file.Errno)
	{
		fs::remove(temporary, ec);
		throw fail(file.Errno ? std::strerror(file.Errno) : why.empty() ? "write failed" : why);
	}
	if (mode != 0666)
		fs::permissions(temporary, static_cast<fs::perms>(mode), ec);
	fs::rename(temporary, target, ec);
	if (ec)
	{
		std::error_code ignored;
		fs::remove(temporary, ignored);
		throw fail(ec.message());
	}
}

void WriteImageFile(const Image& image, const std::string& path)
{
	WritePicture(image, nullptr, path);
}

void RemoveTemporaryFiles()
{
	for (int i = 0; i < MaxPendingWrites; ++i)
		if (PendingState[i].load() == 2)
			::unlink(PendingPath[i]);
}
