#include "ImageFiles.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "HostError.h"

namespace fs = std::filesystem;
using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

static PixelFormat FormatOf(const TypeDesc& type)
{
	switch (type.basetype)
	{
	case TypeDesc::UINT8: return PixelFormat::UInt8;
	case TypeDesc::UINT16: return PixelFormat::UInt16;
	case TypeDesc::HALF: return PixelFormat::Half;
	default: return PixelFormat::Float;
	}
}

static TypeDesc TypeOf(PixelFormat format)
{
	switch (format)
	{
	case PixelFormat::UInt8: return TypeDesc::UINT8;
	case PixelFormat::UInt16: return TypeDesc::UINT16;
	case PixelFormat::Half: return TypeDesc::HALF;
	case PixelFormat::Float: return TypeDesc::FLOAT;
	}
	return TypeDesc::FLOAT;
}

// Where each file channel goes in a pixel: 0..3 are B, G, R, A (FltPixel
// order), 4 on are auxiliary channels; gray fills R, G and B.
struct ChannelMap
{
	static constexpr int Gray = -1;
	std::vector<int> Target;
	std::vector<std::string> AuxNames;
	bool HasAlpha = false;
};

static ChannelMap MapChannels(const ImageSpec& header)
{
	ChannelMap map;
	const int n = header.nchannels;
	bool named = false;
	for (int c = 0; c < n; ++c)
	{
		const std::string& name = header.channel_name(c);
		named = named || name == "R" || name == "G" || name == "B";
	}
	for (int c = 0; c < n; ++c)
	{
		const std::string& name = header.channel_name(c);
		int target;
		if (named ? name == "B" : (n >= 3 && c == 2))
			target = 0;
		else if (named ? name == "G" : (n >= 3 && c == 1))
			target = 1;
		else if (named ? name == "R" : (n >= 3 && c == 0))
			target = 2;
		else if (c == header.alpha_channel || name == "A" || (!named && n >= 3 && c == 3) || (!named && n == 2 && c == 1))
			target = map.HasAlpha ? -2 : 3;
		else if (!named && n <= 2 && c == 0)
			target = ChannelMap::Gray;
		else
			target = -2;
		if (target == 3)
			map.HasAlpha = true;
		if (target == -2)
		{
			target = 4 + static_cast<int>(map.AuxNames.size());
			map.AuxNames.push_back(name.empty() ? "channel" + std::to_string(c) : name);
		}
		map.Target.push_back(target);
	}
	return map;
}

Image* ReadImageFile(const std::string& path)
{
	std::error_code ec;
	if (fs::is_directory(path, ec))
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": it is a directory");
	if (!fs::exists(path, ec))
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": no such file");

	// Channel values as stored: formats with unassociated alpha (PNG) are not
	// premultiplied on the way in, so data passes and round trips stay exact.
	ImageSpec config;
	config.attribute("oiio:UnassociatedAlpha", 1);
	std::unique_ptr<ImageInput> in = ImageInput::create(path, false, &config);
	if (!in)
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": " + OIIO::geterror());
	ImageSpec header;
	if (!in->open(path, header, config))
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": " + in->geterror());
	if (header.width <= 0 || header.height <= 0)
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": it has no pixels");

	const ChannelMap map = MapChannels(header);
	if (4 + static_cast<int>(map.AuxNames.size()) > MaxChannels)
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": it has " + std::to_string(header.nchannels) +
		                                      " channels, at most " + std::to_string(MaxChannels) + " are supported");

	const int width = header.width, height = header.height, n = header.nchannels;
	std::vector<float> pixels(static_cast<size_t>(width) * height * n);
	if (!in->read_image(0, 0, 0, n, TypeDesc::FLOAT, pixels.data()))
		throw HostError(ExitRenderFailed, "cannot read image " + path + ": " + in->geterror());

	std::unique_ptr<Image> image(new Image(width, height, FormatOf(header.format), map.AuxNames));
	for (int fileRow = 0; fileRow < height; ++fileRow)
	{
		const size_t row = static_cast<size_t>(height - 1 - fileRow);  // bottom-up
		for (int x = 0; x < width; ++x)
		{
			FltPixel pixel;
			pixel.A = map.HasAlpha ? 0.0f : 1.0f;
			float* channels = &pixel.B;
			const float* src = &pixels[(static_cast<size_t>(fileRow) * width + x) * n];
			for (int c = 0; c < n; ++c)
			{
				if (map.Target[c] == ChannelMap::Gray)
					pixel.R = pixel.G = pixel.B = src[c];
				else
					channels[map.Target[c]] = src[c];
			}
			image->WritePixel(row * width + x, pixel);
		}
	}
	return image.release();
}

// A name beside the target that keeps its extension, so the file format is
// still chosen from it.
static fs::path TemporaryPathFor(const fs::path& target)
{
	return target.parent_path() /
	       ("." + target.stem().string() + ".qz-" + std::to_string(getpid()) + "-tmp" + target.extension().string());
}

void WriteImageFile(const Image& image, const std::string& path)
{
	const fs::path target(path);
	std::error_code ec;
	if (fs::is_directory(target, ec))
		throw HostError(ExitRenderFailed, "cannot write image " + path + ": it is a directory");
	const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
	if (!fs::is_directory(folder, ec))
		throw HostError(ExitRenderFailed, "cannot write image " + path + ": folder " + folder.string() + " does not exist");
	const fs::path temporary = TemporaryPathFor(target);

	std::unique_ptr<ImageOutput> out = ImageOutput::create(path);
	if (!out)
		throw HostError(ExitRenderFailed, "cannot write image " + path + ": " + OIIO::geterror());

	// Auxiliary channels only where the file format holds any number of channels.
	const bool allChannels = out->supports("nchannels");
	const int n = allChannels ? image.NumChannels() : 4;
	ImageSpec header(image.Width, image.Height, n, TypeOf(image.Format()));
	header.channelnames = {"R", "G", "B", "A"};
	for (int c = 4; c < n; ++c)
		header.channelnames.push_back(image.AuxChannels()[c - 4]);
	header.alpha_channel = 3;
	header.attribute("oiio:UnassociatedAlpha", 1);  // stored as given, see ReadImageFile

	std::vector<float> pixels(static_cast<size_t>(image.Width) * image.Height * n);
	for (int row = 0; row < image.Height; ++row)
	{
		const size_t fileRow = static_cast<size_t>(image.Height - 1 - row);  // top-down
		for (int x = 0; x < image.Width; ++x)
		{
			FltPixel pixel;
			image.ReadPixel(static_cast<size_t>(row) * image.Width + x, pixel);
			float* dst = &pixels[(fileRow * image.Width + x) * n];
			dst[0] = pixel.R;
			dst[1] = pixel.G;
			dst[2] = pixel.B;
			dst[3] = pixel.A;
			std::copy(pixel.Aux, pixel.Aux + (n - 4), dst + 4);
		}
	}

	const bool written = out->open(temporary.string(), header) && out->write_image(TypeDesc::FLOAT, pixels.data()) &&
	                     out->close();
	if (!written)
	{
		std::string why = out->geterror();
		out.reset();
		fs::remove(temporary, ec);
		throw HostError(ExitRenderFailed, "cannot write image " + path + ": " + (why.empty() ? "write failed" : why));
	}
	out.reset();
	fs::rename(temporary, target, ec);
	if (ec)
	{
		std::error_code ignored;
		fs::remove(temporary, ignored);
		throw HostError(ExitRenderFailed, "cannot write image " + path + ": " + ec.message());
	}
}
