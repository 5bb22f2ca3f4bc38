#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Object.h"
#include "TagList.h"

class PixPtr;

/// How an image stores its channel values.
enum class PixelFormat
{
	UInt8,   // 0..255 for 0..1
	UInt16,  // 0..65535 for 0..1
	Half,    // IEEE binary16
	Float,   // IEEE binary32
};

const char* PixelFormatName(PixelFormat format);
size_t BytesPerChannel(PixelFormat format);

/// Most channels a pixel can have: blue, green, red, alpha and up to twelve
/// auxiliary channels (depth, normals, ...).
constexpr int MaxChannels = 16;

/// One pixel as float channels. In memory the first four are blue, green,
/// red, alpha; auxiliary channels follow. A new pixel is all zeros.
struct FltPixel
{
	float B = 0.0f, G = 0.0f, R = 0.0f, A = 0.0f;
	float Aux[MaxChannels - 4] = {};

	/// Reads the pixel at the cursor, then moves the cursor one pixel right.
	FltPixel& operator>>=(PixPtr& cursor);
};

/// What the pixels of a new image hold before anything is written to them.
enum class NewPixels
{
	Zero,   // every channel 0
	Unset,  // whatever the memory held: for images whose every pixel is written next
};

/// An image: `Width` x `Height` pixels, rows numbered from the bottom of the
/// picture (row 0 is the bottom row), channels stored interleaved in
/// `FltPixel` order (B, G, R, A, auxiliary...) in one pixel format.
class Image : public Parameter
{
public:
	/// A new image, all channels zero unless `pixels` says otherwise.
	Image(int width, int height, PixelFormat format = PixelFormat::Float,
	      std::vector<std::string> auxChannels = {}, NewPixels pixels = NewPixels::Zero);
	~Image() override;

	const int Width;
	const int Height;

	PixelFormat Format() const { return Fmt; }
	int NumChannels() const { return 4 + static_cast<int>(AuxNames.size()); }
	/// Names of the channels after alpha, in order.
	const std::vector<std::string>& AuxChannels() const { return AuxNames; }
	size_t PixelBytes() const { return NumChannels() * BytesPerChannel(Fmt); }
	size_t PixelCount() const { return static_cast<size_t>(Width) * static_cast<size_t>(Height); }
	/// True when the pixels are stored as float B, G, R, A and nothing else,
	/// so that `Data()` holds them as they are read, 16 bytes per pixel.
	bool IsPlainFloatRGBA() const { return Fmt == PixelFormat::Float && AuxNames.empty(); }

	/// The stored bytes, pixel (0, 0) first, rows bottom-up.
	uint8_t* Data() { return Bytes.data(); }
	const uint8_t* Data() const { return Bytes.data(); }

	/// Sets red, green, blue and alpha of every pixel to the given values in
	/// 1/65535 units of full scale (65535 is 1.0) and the auxiliary channels to 0.
	void Fill(int r, int g, int b, int a);

	/// A new image equal to this one in size, format, channels and pixels.
	/// The flag is accepted for callers that pass one; every copy is deep.
	Image* CopyOfImage(bool shallow = false) const;

	/// Read the pixel at (x, y) given in 16.16 fixed point (pixel * 65536);
	/// fractions are dropped toward the lower pixel. Outside the image,
	/// B gives black (all channels 0), W wraps around to the opposite edge,
	/// D repeats the nearest edge pixel. An empty image gives black.
	void SamplePixelB(int x, int y, FltPixel& pixel) const;
	void SamplePixelW(int x, int y, FltPixel& pixel) const;
	void SamplePixelD(int x, int y, FltPixel& pixel) const;

	/// Reads or writes the pixel at `index` (y * Width + x), which must lie
	/// inside the image.
	void ReadPixel(size_t index, FltPixel& pixel) const;
	void WritePixel(size_t index, const FltPixel& pixel);

private:
	struct CopyPixels
	{
	};
	Image(const Image& other, CopyPixels);

	PixelFormat Fmt;
	std::vector<std::string> AuxNames;
	std::vector<uint8_t> Bytes;
};

/// Gives back one use of an image when a handle lets go of it.
struct ImageRecycler
{
	void operator()(Image* image) const
	{
		if (image)
			image->Recycle();
	}
};

/// Sole and shared ownership of one use of an image.
using ImageHandle = std::unique_ptr<Image, ImageRecycler>;
using SharedImage = std::shared_ptr<Image>;

/// Shares the use of `image` that the caller holds.
inline SharedImage ShareImage(Image* image)
{
	return SharedImage(image, ImageRecycler());
}

/// Makes a new image from an attribute list. With `ModelImage` (an `Image*`)
/// the new image has that image's size, format and channels; its pixels are
/// unset until written (a tool that does not write them all clears the image
/// with `Fill(0, 0, 0, 0)` first). Returns null when the list names no model.
Image* NewImageTagList(const TagList& tags);

/// Keeps, while the scope lasts, the images `NewImageTagList` makes on this
/// thread until a request takes them as an output (`Unclaimed` drops them
/// then). A render that ends with an exception, a cancelled one among them,
/// gives back with `RecycleUnclaimed` the images it made and had not handed
/// on, which nothing else holds. Scopes nest.
class ImagesOfRender
{
public:
	ImagesOfRender();
	~ImagesOfRender();
	ImagesOfRender(const ImagesOfRender&) = delete;
	ImagesOfRender& operator=(const ImagesOfRender&) = delete;

	void RecycleUnclaimed();
	/// `param` has been taken by a request: no longer this render's to give back.
	static void Claimed(const Object* param);

private:
	friend Image* NewImageTagList(const TagList& tags);
	std::vector<Image*> Made;
	ImagesOfRender* Previous;
};

/// Bytes from the pool that keeps the pixel buffers of destroyed images
/// (contents unset), and back to it.
std::vector<uint8_t> TakeScratchBytes(size_t bytes);
void GiveScratchBytes(std::vector<uint8_t>&& bytes);

/// Working memory of a render: `count` values of T, unset until written. Like
/// an image's pixels it comes from, and goes back to, the pool of recently
/// freed buffers, so a tool that needs a frame-sized array on every render
/// does not fault in fresh pages from the system each time.
template <class T>
class ScratchArray
{
	static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
	              "a scratch array holds plain values in memory from operator new");

public:
	ScratchArray() = default;
	explicit ScratchArray(size_t count) : Bytes(TakeScratchBytes(count * sizeof(T))) {}
	ScratchArray(ScratchArray&& other) noexcept = default;
	ScratchArray& operator=(ScratchArray&& other) noexcept
	{
		if (this != &other)
		{
			GiveScratchBytes(std::move(Bytes));
			Bytes = std::move(other.Bytes);
		}
		return *this;
	}
	~ScratchArray() { GiveScratchBytes(std::move(Bytes)); }

	T* data() { return reinterpret_cast<T*>(Bytes.data()); }
	const T* data() const { return reinterpret_cast<const T*>(Bytes.data()); }
	size_t size() const { return Bytes.size() / sizeof(T); }
	T& operator[](size_t i) { return data()[i]; }
	const T& operator[](size_t i) const { return data()[i]; }

private:
	std::vector<uint8_t> Bytes;
};

/// A cursor over one image that reads and writes pixels as `FltPixel`
/// whatever the stored format. A new cursor has no position: call `GotoXY`
/// first. Reads outside the image give black and writes outside are dropped,
/// so a cursor never touches memory beyond the image. A cursor on a null
/// image (an unconnected input) has no pixels: it reads black everywhere.
class PixPtr
{
public:
	explicit PixPtr(Image* image);

	void GotoXY(int x, int y);

	/// Writes `pixel` at the cursor, then moves the cursor one pixel right.
	PixPtr& operator>>=(const FltPixel& pixel);

	/// `GotoXY(x, y)`, then reads or writes there without moving on.
	void GetPixel(int x, int y, FltPixel& pixel);
	void SetPixel(int x, int y, const FltPixel& pixel);

private:
	friend struct FltPixel;
	void Read(FltPixel& pixel);
	void Write(const FltPixel& pixel);

	Image* Img;
	uint8_t* Bytes;
	size_t Count;
	size_t Index;  // current pixel; Count or more: no valid position
	bool PlainRGBA;  // float B, G, R, A only: pixels are copied as they are
};

// The cursor steps are inline so that the common float RGBA image costs four
// float copies per pixel; other formats go through the image's conversions.

// Writes copy channel by channel: a tool has just stored the channels one at
// a time, and a single 16-byte load of them would stall until those stores
// complete. Reads copy the pixel whole.
inline void CopyChannels(void* to, const void* from)
{
	auto* dst = static_cast<unsigned char*>(to);
	auto* src = static_cast<const unsigned char*>(from);
	for (int c = 0; c < 4; ++c)
		std::memcpy(dst + c * sizeof(float), src + c * sizeof(float), sizeof(float));
}

inline void PixPtr::Read(FltPixel& pixel)
{
	if (Index >= Count)
		pixel = FltPixel();
	else if (PlainRGBA)
		std::memcpy(&pixel.B, Bytes + Index * 4 * sizeof(float), 4 * sizeof(float));
	else
		Img->ReadPixel(Index, pixel);
}

inline void PixPtr::Write(const FltPixel& pixel)
{
	if (Index >= Count)
		return;
	if (PlainRGBA)
		CopyChannels(Bytes + Index * 4 * sizeof(float), &pixel.B);
	else
		Img->WritePixel(Index, pixel);
}

inline FltPixel& FltPixel::operator>>=(PixPtr& cursor)
{
	cursor.Read(*this);
	if (cursor.Index < cursor.Count)
		++cursor.Index;
	return *this;
}

inline PixPtr& PixPtr::operator>>=(const FltPixel& pixel)
{
	Write(pixel);
	if (Index < Count)
		++Index;
	return *this;
}

inline void PixPtr::GotoXY(int x, int y)
{
	const bool inside = Img && x >= 0 && y >= 0 && x < Img->Width && y < Img->Height;
	Index = inside ? static_cast<size_t>(y) * Img->Width + x : Count;
}

inline void PixPtr::GetPixel(int x, int y, FltPixel& pixel)
{
	GotoXY(x, y);
	Read(pixel);
}

inline void PixPtr::SetPixel(int x, int y, const FltPixel& pixel)
{
	GotoXY(x, y);
	Write(pixel);
}
