// Convolution filter: convolves an image with a kernel that is itself an
// image. Each kernel pixel weights the source channel by channel with its own
// R, G, B and A; the sum is divided by the sum of the kernel's positive alpha
// values, so the kernel needs no normalising. The exact filter takes every
// kernel pixel; fast mode takes "Samples" kernel pixels drawn pseudo-randomly
// from a fixed seed, the same draws for every pixel.
#include <algorithm>
#include <array>
#include <cmath>
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
	std::vector<std::array<float, 4>> KernelPixels;  // B, G, R, A, row by row
	std::vector<Tap> Taps;                           // in the order they are summed
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
		  {Default, 250.0}}},
		{&Convolution::InImage, "Image", "Image", {image, {MainIndex, 1}, {Required, 1}}},
		{&Convolution::InKernel, "Kernel", "Kernel", {image, {MainIndex, 2}, {Required, 1}}},
	};
	return inputs;
}

Convolution::Convolution(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &Convolution::OutImage);
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

/// Adds one tap to the sums of a row: for every x,
///     sum(x) += source(min(x + kx, width - 1)) * k
/// channel by channel, product and sum in single precision. `row` is the
/// source row the tap falls on; columns beyond the last read the last one.
void AddTap(float* sum, const float* row, int width, int kx, const std::array<float, 4>& k)
{
	const int inside = kx < width ? width - kx : 0;
	if (inside > 0)
	{
		const float* from = row + static_cast<size_t>(kx) * 4;
		for (size_t i = 0, n = static_cast<size_t>(inside) * 4; i < n; i += 4)
			for (int c = 0; c < 4; ++c)
				sum[i + c] += from[i + c] * k[c];
	}
	const float* edge = row + static_cast<size_t>(width - 1) * 4;
	for (size_t i = static_cast<size_t>(inside) * 4, n = static_cast<size_t>(width) * 4; i < n; i += 4)
		for (int c = 0; c < 4; ++c)
			sum[i + c] += edge[c] * k[c];
}

/// One output channel: the summed channel widened to double, divided by the
/// sum of positive kernel alphas, narrowed to float. A sum of 0 gives an
/// infinite or not-a-number channel.
float Normalised(float sum, double weightSum)
{
	return static_cast<float>(sum / weightSum);
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
	// Every pixel is written by the rows, so the new image is not cleared.
	Target = NewImageLike(Source);

	ReadKernel(*kernel);
	Taps = fast != 0.0 ? DrawnTaps(samples) : EveryTap();
	WeightSum = PositiveAlphaSum();
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
	std::vector<float> sums(static_cast<size_t>(width) * 4, 0.0f);
	for (const Tap& tap : Taps)
	{
		const int up = KernelHeight - tap.Ky;
		const int row = up > height - 1 - y ? height - 1 : y + up;
		AddTap(sums.data(), SourceRows + static_cast<size_t>(row) * width * 4, width, tap.Kx, KernelAt(tap));
	}

	PixPtr out(Target);
	out.GotoXY(0, y);
	FltPixel pixel;
	for (size_t i = 0, n = static_cast<size_t>(width) * 4; i < n; i += 4)
	{
		pixel.B = Normalised(sums[i], WeightSum);
		pixel.G = Normalised(sums[i + 1], WeightSum);
		pixel.R = Normalised(sums[i + 2], WeightSum);
		pixel.A = Normalised(sums[i + 3], WeightSum);
		out >>= pixel;
	}
}

QZ_REGISTER_TOOL(Convolution, "Korvane.Convolution",
                 {"Convolution", "QZ_Tools\\Blur", "Convolution", "Convolution", IconBlur, false, false});
