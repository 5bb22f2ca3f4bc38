#include "Image.h"

#include <Imath/half.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

const char* PixelFormatName(PixelFormat format)
{
	switch (format)
	{
	case PixelFormat::UInt8: return "uint8";
	case PixelFormat::UInt16: return "uint16";
	case PixelFormat::Half: return "half";
	case PixelFormat::Float: return "float";
	}
	return "?";
}

size_t BytesPerChannel(PixelFormat format)
{
	switch (format)
	{
	case PixelFormat::UInt8: return 1;
	case PixelFormat::UInt16: return 2;
	case PixelFormat::Half: return 2;
	case PixelFormat::Float: return 4;
	}
	return 4;
}

namespace
{
// Pixel buffers of recently destroyed images and scratch arrays, kept for the
// next one of the same size. A render makes a new frame-sized image per
// request; taking fresh memory from the system each time costs more in page
// faults than the tools spend on their pixels.
class BufferPool
{
public:
	/// A buffer of `bytes`; all zeros unless `zeroed` is false.
	std::vector<uint8_t> Take(size_t bytes, bool zeroed = true)
	{
		{
			std::lock_guard<std::mutex> lock(Mutex);
			for (auto it = Buffers.begin(); it != Buffers.end(); ++it)
				if (it->size() == bytes)
				{
					std::vector<uint8_t> buffer = std::move(*it);
					Buffers.erase(it);
					Held -= bytes;
					if (zeroed)
						std::memset(buffer.data(), 0, bytes);
					return buffer;
				}
		}
		return std::vector<uint8_t>(bytes);
	}

	void Give(std::vector<uint8_t>&& buffer)
	{
		if (buffer.size() < MinBytes)
			return;
		std::lock_guard<std::mutex> lock(Mutex);
		Buffers.push_back(std::move(buffer));
		Held += Buffers.back().size();
		while (Buffers.size() > MaxBuffers || Held > MaxHeld)
		{
			Held -= Buffers.front().size();
			Buffers.pop_front();
		}
	}

private:
	static constexpr size_t MinBytes = 1 << 20;  // small buffers come cheaply from malloc
	static constexpr size_t MaxBuffers = 4;
	static constexpr size_t MaxHeld = size_t(1) << 30;

	std::mutex Mutex;
	std::deque<std::vector<uint8_t>> Buffers;
	size_t Held = 0;
};

// Never destroyed: images may outlive every other static object.
BufferPool& Pool()
{
	static BufferPool* pool = new BufferPool;
	return *pool;
}
}

std::vector<uint8_t> TakeScratchBytes(size_t bytes)
{
	return Pool().Take(bytes, false);
}

void GiveScratchBytes(std::vector<uint8_t>&& bytes)
{
	Pool().Give(std::move(bytes));
}

Image::Image(int width, int height, PixelFormat format, std::vector<std::string> auxChannels, NewPixels pixels)
	: Width(std::max(width, 0)), Height(std::max(height, 0)), Fmt(format), AuxNames(std::move(auxChannels))
{
	if (NumChannels() > MaxChannels)
		throw std::invalid_argument("an image has at most " + std::to_string(MaxChannels) + " channels, not " +
		                            std::to_string(NumChannels()));
	Bytes = Pool().Take(PixelCount() * PixelBytes(), pixels == NewPixels::Zero);
}

Image::~Image()
{
	Pool().Give(std::move(Bytes));
}

// Integer formats store 0..1 at full scale, rounded to nearest; values outside
// 0..1 are clamped and NaN stores as 0.
template <class T, int Max>
static T ToUnsigned(float v)
{
	if (!(v > 0.0f))
		return 0;
	if (v >= 1.0f)
		return Max;
	return static_cast<T>(v * Max + 0.5f);
}

void Image::ReadPixel(size_t index, FltPixel& pixel) const
{
	float* out = &pixel.B;
	const int n = NumChannels();
	const uint8_t* src = Bytes.data() + index * PixelBytes();
	switch (Fmt)
	{
	case PixelFormat::Float:
		std::memcpy(out, src, n * sizeof(float));
		break;
	case PixelFormat::Half:
		for (int c = 0; c < n; ++c)
		{
			Imath::half h;
			std::memcpy(&h, src + 2 * c, 2);
			out[c] = h;
		}
		break;
	case PixelFormat::UInt16:
		for (int c = 0; c < n; ++c)
		{
			uint16_t v;
			std::memcpy(&v, src + 2 * c, 2);
			out[c] = v / 65535.0f;
		}
		break;
	case PixelFormat::UInt8:
		for (int c = 0; c < n; ++c)
			out[c] = src[c] / 255.0f;
		break;
	}
}

void Image::WritePixel(size_t index, const FltPixel& pixel)
{
	const float* in = &pixel.B;
	const int n = NumChannels();
	uint8_t* dst = Bytes.data() + index * PixelBytes();
	switch (Fmt)
	{
	case PixelFormat::Float:
		std::memcpy(dst, in, n * sizeof(float));
		break;
	case PixelFormat::Half:
		for (int c = 0; c < n; ++c)
		{
			Imath::half h(in[c]);
			std::memcpy(dst + 2 * c, &h, 2);
		}
		break;
	case PixelFormat::UInt16:
		for (int c = 0; c < n; ++c)
		{
			uint16_t v = ToUnsigned<uint16_t, 65535>(in[c]);
			std::memcpy(dst + 2 * c, &v, 2);
		}
		break;
	case PixelFormat::UInt8:
		for (int c = 0; c < n; ++c)
			dst[c] = ToUnsigned<uint8_t, 255>(in[c]);
		break;
	}
}

void Image::Fill(int r, int g, int b, int a)
{
	if (r == 0 && g == 0 && b == 0 && a == 0)
	{
		// Zero is all-zero bytes in every format.
		std::fill(Bytes.begin(), Bytes.end(), uint8_t(0));
		return;
	}
	FltPixel pixel;
	pixel.R = r / 65535.0f;
	pixel.G = g / 65535.0f;
	pixel.B = b / 65535.0f;
	pixel.A = a / 65535.0f;
	for (size_t i = 0, n = PixelCount(); i < n; ++i)
		WritePixel(i, pixel);
}

Image::Image(const Image& other, CopyPixels)
	: Parameter(), Width(other.Width), Height(other.Height), Fmt(other.Fmt), AuxNames(other.AuxNames)
{
	Bytes = Pool().Take(other.Bytes.size(), false);
	if (!Bytes.empty())
		std::memcpy(Bytes.data(), other.Bytes.data(), Bytes.size());
}

Image* Image::CopyOfImage(bool /*shallow*/) const
{
	return new Image(*this, CopyPixels{});
}

// Whole pixel of a 16.16 position, rounding toward minus infinity, so that
// -0.5 lies left of pixel 0 rather than on it.
static int WholePixel(int fixed)
{
	return static_cast<int>(std::floor(fixed / 65536.0));
}

void Image::SamplePixelB(int x, int y, FltPixel& pixel) const
{
	const int px = WholePixel(x), py = WholePixel(y);
	if (px < 0 || py < 0 || px >= Width || py >= Height)
	{
		pixel = FltPixel();
		return;
	}
	ReadPixel(static_cast<size_t>(py) * Width + px, pixel);
}

void Image::SamplePixelW(int x, int y, FltPixel& pixel) const
{
	if (Width == 0 || Height == 0)
	{
		pixel = FltPixel();
		return;
	}
	const int px = ((WholePixel(x) % Width) + Width) % Width;
	const int py = ((WholePixel(y) % Height) + Height) % Height;
	ReadPixel(static_cast<size_t>(py) * Width + px, pixel);
}

void Image::SamplePixelD(int x, int y, FltPixel& pixel) const
{
	if (Width == 0 || Height == 0)
	{
		pixel = FltPixel();
		return;
	}
	const int px = std::clamp(WholePixel(x), 0, Width - 1);
	const int py = std::clamp(WholePixel(y), 0, Height - 1);
	ReadPixel(static_cast<size_t>(py) * Width + px, pixel);
}

static thread_local ImagesOfRender* RenderInProgress = nullptr;

Image* NewImageTagList(const TagList& tags)
{
	TagWord word;
	if (!tags.Find(Attr::ModelImage, word))
		return nullptr;
	const Image* model = TagToPointer<const Image*>(word);
	if (!model)
		return nullptr;
	Image* image = new Image(model->Width, model->Height, model->Format(), model->AuxChannels(), NewPixels::Unset);
	if (RenderInProgress)
		RenderInProgress->Made.push_back(image);
	return image;
}

ImagesOfRender::ImagesOfRender() : Previous(RenderInProgress)
{
	RenderInProgress = this;
}

ImagesOfRender::~ImagesOfRender()
{
	RenderInProgress = Previous;
}

void ImagesOfRender::RecycleUnclaimed()
{
	for (Image* image : Made)
		image->Recycle();
	Made.clear();
}

void ImagesOfRender::Claimed(const Object* param)
{
	if (!RenderInProgress)
		return;
	std::vector<Image*>& made = RenderInProgress->Made;
	made.erase(std::remove(made.begin(), made.end(), param), made.end());
}

PixPtr::PixPtr(Image* image)
	: Img(image), Bytes(image ? image->Data() : nullptr), Count(image ? image->PixelCount() : 0), Index(Count),
	  PlainRGBA(image && image->IsPlainFloatRGBA())
{
}
