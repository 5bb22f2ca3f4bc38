// Convolution filter: convolves an image with a kernel that is itself an
// image. Each kernel pixel weights the source channel by channel with its own
// R, G, B and A; the sum is divided by the sum of the kernel's positive alpha
// values, so the kernel needs no normalising. The exact filter takes every
// kernel pixel; fast mode takes "Samples" kernel pixels drawn pseudo-randomly
// from a fixed seed, the same draws for every pixel.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "Declarations.h"
#include "Random.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/Convolution.h"

class Convolution : public ThreadedOperator
{
public:
	Convolution(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~Convolution() override = default;
	int SizeOf() override { return sizeof(Convolution); }
	void Process(Request* request) override;
	void ProcessChunk(Request* request, int chunk) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InSampling, *InSamples, *InImage, *InKernel;
	Output* OutImage;

	/// One kernel pixel taken for every output pixel: column kx, row ky.
	struct Tap
	{
		int Kx, Ky;
	};

	// The request in hand, written by Process before the chunks run and only
	// read by them.
	Image* Source = nullptr;
	Image* Target = nullptr;
	const float* SourceRows = nullptr;  // B, G, R, A floats, rows bottom-up
	std::vector<float> SourceCopy;      // SourceRows of a source stored otherwise
	int KernelWidth = 0, KernelHeight = 0;
	std::vector<std::array<float, 4>> KernelPixels;      // B, G, R, A, row by row
	std::vector<Tap> Taps;                               // in the order they are summed
	std::vector<ConvolutionKernel::TapWeight> Weights;  // of Taps, in the same order
	double WeightSum = 0.0;

	void ReadSource();
	void ReadKernel(Image& kernel);
	std::vector<Tap> EveryTap() const;
	std::vector<Tap> DrawnTaps(int count) const;
	double PositiveAlphaSum() const;
	const std::array<float, 4>& KernelAt(const Tap& tap) const
	{
		return KernelPixels[static_cast<size_t>(tap.Ky) * KernelWidth + tap.Kx];
	}

	static const std::vector<InputDecl<Convolution>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<Convolution>>& Convolution::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, image{DataType, CLSID_DataType_Image};
	static const std::vector<InputDecl<Convolution>> inputs = {
		{&Convolution::InLabel, "Convolution image filter", "ConvFilter", LabelTags()},
		{&Convolution::InSampling, "Use Fast Sampling", "Sampling",
		 {number, {Control, CLSID_InputControl_Checkbox}, {Default, 1.0}}},
		{&Convolution::InSamples, "Samples", "Samples",
		 {number, {Control, CLSID_InputControl_Slider}, {IntegerOnly, 1}, {RangeHigh, 2500.0}, {RangeLow, 50.0},
		  {Default, 250.0}},
		 50000},  // kernel taps per pixel: twenty times the slider's reach
		{&Convolution::InImage, "Image", "Image", {image, {MainIndex, 1}, {Required, 1}}},
		{&Convolution::InKernel, "Kernel", "Kernel", {image, {MainIndex, 2}, {Required, 1}}},
	};
	return inputs;
}

Convolution::Convolution(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &Convolution::OutImage);
	DeclareWorkBound({"the exact filter's kernel pixels × frame pixels", ConvolutionKernel::MaxExactWork});
}

namespace ConvolutionKernel
{
/// "Samples" truncated toward zero, limited to 0 .. MaxSamples; not a number
/// takes no sample.
int SampleCount(double samples)
{
	if (!(samples > 0.0))
		return 0;
	return static_cast<int>(std::min(samples, static_cast<double>(MaxSamples)));
}

/// Tap of kernel column `kx` with kernel pixel `k` (B, G, R, A).
TapWeight WeightOf(int kx, const std::array<float, 4>& k)
{
	return {{k[0], k[1], k[2], k[3], k[0], k[1], k[2], k[3]}, kx};
}

/// One output channel: the summed channel widened to double, divided by the
/// sum of positive kernel alphas, narrowed to float. A sum of 0 gives an
/// infinite or not-a-number channel.
float Normalised(float sum, double weightSum)
{
	return static_cast<float>(sum / weightSum);
}

namespace
{
using pixelwalk::Floats4;
using pixelwalk::Floats8;
using Doubles8 = double __attribute__((vector_size(64)));

// Pixels summed at once: their sums fill half the AVX registers.
constexpr int BlockPixels = 16;

/// Puts the eight channels of two pixels, each `Normalised`, at `to`.
inline void PutNormalised(float* to, const Floats8& sums, double weightSum)
{
	pixelwalk::Put8(to, __builtin_convertvector(__builtin_convertvector(sums, Doubles8) / weightSum, Floats8));
}
}

/// One output row of `width` pixels (B, G, R, A floats) into `out`: for
/// every x, channel by channel,
///     sum = 0, then for each tap in order
///     sum += source(min(x + kx, width - 1)) * k,
///     out(x) = Normalised(sum),
/// product and sum in single precision. rows[i] is the source row tap i
/// falls on; columns beyond the last read the last one. Sixteen pixels whose
/// taps all lie inside the row are summed side by side, tap by tap, with the
/// same operations in the same order for each.
QZ_PIXEL_LOOPS void ConvolveRow(float* out, const float* const* rows, const TapWeight* taps, size_t tapCount,
                                int width, double weightSum)
{
	int reach = 0;
	for (size_t i = 0; i < tapCount; ++i)
		reach = std::max(reach, taps[i].Kx);
	const int inside = reach < width ? width - reach : 0;
	int x = 0;
	for (; x + BlockPixels <= inside; x += BlockPixels)
	{
		Floats8 sums[BlockPixels / 2] = {};
		for (size_t i = 0; i < tapCount; ++i)
		{
			const float* from = rows[i] + (static_cast<size_t>(x) + taps[i].Kx) * 4;
			Floats8 k, source;
			pixelwalk::Get8(taps[i].K, k);
			for (int j = 0; j < BlockPixels / 2; ++j)
			{
				pixelwalk::Get8(from + 8 * j, source);
				sums[j] += source * k;
			}
		}
		for (int j = 0; j < BlockPixels / 2; ++j)
			PutNormalised(out + static_cast<size_t>(x) * 4 + 8 * j, sums[j], weightSum);
	}
	for (; x < width; ++x)
	{
		Floats4 sum = {};
		for (size_t i = 0; i < tapCount; ++i)
		{
			const int column = taps[i].Kx < width - x ? x + taps[i].Kx : width - 1;
			Floats4 source, k;
			std::memcpy(&source, rows[i] + static_cast<size_t>(column) * 4, sizeof source);
			std::memcpy(&k, taps[i].K, sizeof k);
			sum += source * k;
		}
		for (int c = 0; c < 4; ++c)
			out[static_cast<size_t>(x) * 4 + c] = Normalised(sum[c], weightSum);
	}
}
}

using namespace ConvolutionKernel;

void Convolution::ReadSource()
{
	if (Source->Format() == PixelFormat::Float && Source->NumChannels() == 4)
	{
		SourceRows = reinterpret_cast<const float*>(Source->Data());
		return;
	}
	SourceCopy.resize(Source->PixelCount() * 4);
	FltPixel pixel;
	for (size_t i = 0, n = Source->PixelCount(); i < n; ++i)
	{
		Source->ReadPixel(i, pixel);
		std::copy(&pixel.B, &pixel.B + 4, &SourceCopy[i * 4]);
	}
	SourceRows = SourceCopy.data();
}

void Convolution::ReadKernel(Image& kernel)
{
	KernelWidth = kernel.Width;
	KernelHeight = kernel.Height;
	KernelPixels.resize(kernel.PixelCount());
	FltPixel pixel;
	for (size_t i = 0; i < KernelPixels.size(); ++i)
	{
		kernel.ReadPixel(i, pixel);
		KernelPixels[i] = {pixel.B, pixel.G, pixel.R, pixel.A};
	}
}

/// The exact filter: every kernel pixel, row 0 first, left to right.
std::vector<Convolution::Tap> Convolution::EveryTap() const
{
	std::vector<Tap> taps;
	taps.reserve(KernelPixels.size());
	for (int ky = 0; ky < KernelHeight; ++ky)
		for (int kx = 0; kx < KernelWidth; ++kx)
			taps.push_back({kx, ky});
	return taps;
}

/// Fast mode: `count` taps from the draws that srand(50) followed by rand()
/// gives, two a tap: ky = r1 mod kh, kx = r2 mod kw. Taps may repeat. An empty
/// kernel has no pixel to draw.
std::vector<Convolution::Tap> Convolution::DrawnTaps(int count) const
{
	std::vector<Tap> taps;
	if (KernelPixels.empty())
		return taps;
	taps.reserve(static_cast<size_t>(count));
	SeededRandom draw(50);
	for (int i = 0; i < count; ++i)
	{
		const int ky = draw() % KernelHeight;
		const int kx = draw() % KernelWidth;
		taps.push_back({kx, ky});
	}
	return taps;
}

/// The weight sum every pixel divides by, the same for all: the kernel
/// alphas of the taps that are above 0, in tap order, summed in double.
double Convolution::PositiveAlphaSum() const
{
	double sum = 0.0;
	for (const Tap& tap : Taps)
		if (KernelAt(tap)[3] > 0.0f)
			sum += KernelAt(tap)[3];
	return sum;
}

void Convolution::Process(Request* request)
{
	Source = ImageValue(InImage, request);
	Image* kernel = ImageValue(InKernel, request);
	const double fast = NumberValue(InSampling, request);
	const int samples = SampleCount(NumberValue(InSamples, request));
	if (!Source || !kernel)
		return;
	if (fast == 0.0)
		RefuseBeyondBound(0, static_cast<double>(kernel->PixelCount()) * static_cast<double>(Source->PixelCount()),
		                  std::to_string(kernel->PixelCount()) + " × " + std::to_string(Source->PixelCount()));
	// Every pixel is written by the rows, so the new image is not cleared.
	Target = NewImageLike(Source);

	ReadKernel(*kernel);
	Taps = fast != 0.0 ? DrawnTaps(samples) : EveryTap();
	WeightSum = PositiveAlphaSum();
	Weights.clear();
	for (const Tap& tap : Taps)
		Weights.push_back(WeightOf(tap.Kx, KernelAt(tap)));
	ReadSource();

	DoMultiProcess(request, Source->Height);
	OutImage->Set(request, Target, nullptr);
	std::vector<float>().swap(SourceCopy);
}

void Convolution::ProcessChunk(Request* /*request*/, int y)
{
	const int width = Source->Width, height = Source->Height;
	if (width == 0)
		return;
	// Row y sums over source rows y + 1 .. y + kh: kernel row ky lands kh - ky
	// rows above, so row 0 is the farthest; rows beyond the top read the top.
	std::vector<const float*> rows(Taps.size());
	const size_t rowFloats = static_cast<size_t>(width) * 4;
	for (size_t i = 0; i < Taps.size(); ++i)
	{
		const int up = KernelHeight - Taps[i].Ky;
		const int row = up > height - 1 - y ? height - 1 : y + up;
		rows[i] = SourceRows + static_cast<size_t>(row) * rowFloats;
	}

	if (Target->IsPlainFloatRGBA())
	{
		float* out = reinterpret_cast<float*>(Target->Data()) + static_cast<size_t>(y) * rowFloats;
		ConvolveRow(out, rows.data(), Weights.data(), Weights.size(), width, WeightSum);
		return;
	}
	std::vector<float> row(rowFloats);
	ConvolveRow(row.data(), rows.data(), Weights.data(), Weights.size(), width, WeightSum);
	PixPtr out(Target);
	out.GotoXY(0, y);
	FltPixel pixel;
	for (size_t i = 0; i < rowFloats; i += 4)
	{
		std::copy(&row[i], &row[i] + 4, &pixel.B);
		out >>= pixel;
	}
}

QZ_REGISTER_TOOL(Convolution, "Korvane.Convolution",
                 {"Convolution", "QZ_Tools\\Blur", "Convolution", "Convolution", IconBlur, false, false});
