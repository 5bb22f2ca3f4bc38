// UV positioner: maps a texture onto a render through the render's UV pass.
// Every pixel of the UV pass names a texture position (u from red, v from
// green, optionally swapped and flipped, then offset and scaled); the texture
// pixel there, weighted by the UV pass's alpha, becomes the output pixel.
// Positions outside the texture read black, wrap around or repeat the edge.
#include <algorithm>
#include <cmath>
#include <optional>

#include "Declarations.h"
#include "PixelSampler.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/UVpositioner.h"
#include "UVCoordinates.h"

class UVpositioner : public ThreadedOperator
{
public:
	UVpositioner(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~UVpositioner() override = default;
	int SizeOf() override { return sizeof(UVpositioner); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InSwap, *InFlipX, *InFlipY, *InSampleMode, *InXOffset, *InYOffset, *InUScale, *InVScale;
	Input *InImage, *InUV;
	Output* OutImage;

	static const std::vector<InputDecl<UVpositioner>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<UVpositioner>>& UVpositioner::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, checkbox{Control, CLSID_InputControl_Checkbox};
	const DeclTag slider{Control, CLSID_InputControl_Slider}, image{DataType, CLSID_DataType_Image};
	static const std::vector<InputDecl<UVpositioner>> inputs = {
		{&UVpositioner::InLabel, "Position image by UV", "UVunwrap", LabelTags()},
		{&UVpositioner::InSwap, "Swap UV", "Swap", {number, checkbox, {Default, 0.0}}},
		{&UVpositioner::InFlipX, "Flip X", "Flipx", {number, checkbox, {Default, 0.0}}},
		{&UVpositioner::InFlipY, "Flip Y", "Flipy", {number, checkbox, {Default, 0.0}}},
		{&UVpositioner::InSampleMode, "Sample Mode", "SampleMode",
		 {{DataType, CLSID_DataType_FuID}, {Control, CLSID_InputControl_MultiButtonID}, {ButtonText, "Black"},
		  {ButtonText, "Wrap"}, {ButtonText, "Duplicate"}, {ButtonFlag, 1}, {DefaultId, "Black"}}},
		{&UVpositioner::InXOffset, "X Offset", "Xoffset", {number, slider, {Default, 0.0}, {RangeHigh, 1.0}, {RangeLow, -1.0}}},
		{&UVpositioner::InYOffset, "Y Offset", "Yoffset", {number, slider, {Default, 0.0}, {RangeHigh, 1.0}, {RangeLow, -1.0}}},
		{&UVpositioner::InUScale, "U Scale", "Uscale", {number, slider, {Default, 1.0}, {RangeLow, 0.0}}},
		{&UVpositioner::InVScale, "V Scale", "Vscale", {number, slider, {Default, 1.0}, {RangeLow, 0.0}}},
		{&UVpositioner::InImage, "Image", "Image", {image, {MainIndex, 2}, {Required, 1}}},
		{&UVpositioner::InUV, "UV", "UV", {image, {MainIndex, 1}, {Required, 1}}},
	};
	return inputs;
}

UVpositioner::UVpositioner(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &UVpositioner::OutImage);
}

namespace UVpositionerKernel
{
SampleMode ChosenMode(const FuID& choice)
{
	if (choice == "Black")
		return SampleMode::Black;
	if (choice == "Wrap")
		return SampleMode::Wrap;
	if (choice == "Duplicate")
		return SampleMode::Duplicate;
	return SampleMode::None;
}

/// Texture position of one axis in pixels: ((c + offset) * scale) * size, in
/// double, in that order (the scale also scales the offset).
double TexturePosition(double c, double offset, double scale, double size)
{
	return ((c + offset) * scale) * size;
}

/// The whole pixel that position p reads on an axis `size` pixels long:
/// trunc(p), toward zero, wherever 16.16 fixed point holds it
/// (|trunc(p)| <= 32767). Farther out the samplers read what they read at any
/// position past the same edge: Black and Duplicate get -1 or size, Wrap gets
/// trunc(p) modulo size (pixel 0 for an infinite p). Not a number reads
/// outside (black) in Black and pixel 0 in the others.
double SampledPixel(double p, double size, SampleMode mode)
{
	if (std::isnan(p))
		return mode == SampleMode::Black ? -1.0 : 0.0;
	const double whole = std::trunc(p);
	if (std::fabs(whole) <= 32767.0)
		return whole;
	if (mode == SampleMode::Wrap)
	{
		const double wrapped = std::fmod(whole, size);
		return std::isnan(wrapped) ? 0.0 : wrapped;
	}
	return whole < 0.0 ? -1.0 : size;
}

/// Reads the texture pixel at position (u, v), in pixels, with the sampler of
/// `mode` into `sample`: from `plainTexture` when the texture is stored as
/// plain float RGBA, otherwise through the image's own samplers, which also
/// read its auxiliary channels.
void SampleTexture(const Image& texture, const PixelSampler* plainTexture, SampleMode mode, double u, double v,
                   FltPixel& sample)
{
	const double x = SampledPixel(u, texture.Width, mode), y = SampledPixel(v, texture.Height, mode);
	if (!plainTexture)
	{
		switch (mode)
		{
		case SampleMode::Black: texture.SamplePixelB(FixedPoint(x), FixedPoint(y), sample); break;
		case SampleMode::Wrap: texture.SamplePixelW(FixedPoint(x), FixedPoint(y), sample); break;
		case SampleMode::Duplicate: texture.SamplePixelD(FixedPoint(x), FixedPoint(y), sample); break;
		case SampleMode::None: break;
		}
		return;
	}
	Bgra pixel{};
	switch (mode)
	{
	case SampleMode::Black: pixel = plainTexture->Black(WholePixelOf(x), WholePixelOf(y)); break;
	case SampleMode::Wrap: pixel = plainTexture->Wrap(WholePixelOf(x), WholePixelOf(y)); break;
	case SampleMode::Duplicate: pixel = plainTexture->Duplicate(WholePixelOf(x), WholePixelOf(y)); break;
	case SampleMode::None: break;
	}
	sample.B = pixel.B;
	sample.G = pixel.G;
	sample.R = pixel.R;
	sample.A = pixel.A;
}

/// R, G, B and A of the sample times the UV pass's alpha, in single precision.
void WeightByAlpha(FltPixel& sample, float alpha)
{
	sample.R *= alpha;
	sample.G *= alpha;
	sample.B *= alpha;
	sample.A *= alpha;
}

namespace
{
/// Whether position p lies within 16.16 fixed point, where `SampledPixel`
/// and `WholePixelOf` give trunc(p).
bool Near(double p)
{
	return std::fabs(p) < 32768.0;
}

/// `SampleBlock` with the sample mode fixed.
template <SampleMode Mode>
void SampleBlockAs(const PixelSampler& texture, const Placement& placement, PixelBlock& block)
{
	const auto positionOf = [&](int i) {
		const UVPosition uv = ReadUV(block.Pixel(i), placement.Options);
		return UVPosition{TexturePosition(uv.U, placement.XOffset, placement.UScale, placement.Width),
		                  TexturePosition(uv.V, placement.YOffset, placement.VScale, placement.Height)};
	};
	// Near positions, nearly all, are truncated side by side; the others go
	// through `SampledPixel` one by one.
	int columns[PixelBlock::Capacity], rows[PixelBlock::Capacity];
	int far = 0;  // a count, which the compiler sums side by side as it would not a flag
	const int count = block.Count;
	for (int i = 0; i < count; ++i)
	{
		const UVPosition p = positionOf(i);
		const bool nearU = Near(p.U), nearV = Near(p.V);
		columns[i] = static_cast<int>(nearU ? p.U : 0.0);
		rows[i] = static_cast<int>(nearV ? p.V : 0.0);
		far += !(nearU & nearV);
	}
	for (int i = 0; far > 0 && i < count; ++i)
	{
		const UVPosition p = positionOf(i);
		if (!Near(p.U))
			columns[i] = WholePixelOf(SampledPixel(p.U, placement.Width, Mode));
		if (!Near(p.V))
			rows[i] = WholePixelOf(SampledPixel(p.V, placement.Height, Mode));
	}

	// Where each sample is read: in place for a position inside the texture,
	// from a copy of what the sampler reads for one outside it, and zero
	// where the UV pass's alpha is 0. The addresses are found side by side;
	// the samples are then read and split into channels eight at a time.
	// (Addresses as integers, so that those of positions outside the texture
	// may be formed and dropped.)
	static constexpr Bgra Nothing{};
	const uintptr_t nothing = reinterpret_cast<uintptr_t>(&Nothing);
	const uintptr_t texels = reinterpret_cast<uintptr_t>(texture.PixelAddress(0, 0));
	const int width = static_cast<int>(placement.Width), height = static_cast<int>(placement.Height);
	const auto inTexture = [&](int i) {
		return (columns[i] >= 0) & (columns[i] < width) & (rows[i] >= 0) & (rows[i] < height);
	};
	float alphas[PixelBlock::Capacity];
	const auto sampled = [&](int i) { return Mode != SampleMode::None && alphas[i] != 0.0f; };
	const uint8_t* sources[PixelBlock::Capacity];
	int outside = 0;  // samples read outside the texture (a count, for the same reason as `far`)
	for (int i = 0; i < count; ++i)
	{
		alphas[i] = block.A[i];
		const bool inside = inTexture(i);
		const uintptr_t texel =
			texels + sizeof(Bgra) * (static_cast<uintptr_t>(rows[i]) * width + static_cast<uintptr_t>(columns[i]));
		sources[i] = reinterpret_cast<const uint8_t*>(inside & sampled(i) ? texel : nothing);
		outside += !inside & sampled(i);
	}
	Bgra outsideSamples[PixelBlock::Capacity];
	for (int i = 0; outside > 0 && i < count; ++i)
	{
		if (inTexture(i) || !sampled(i))
			continue;
		if constexpr (Mode == SampleMode::Black)
			outsideSamples[i] = texture.Black(columns[i], rows[i]);
		else if constexpr (Mode == SampleMode::Wrap)
			outsideSamples[i] = texture.Wrap(columns[i], rows[i]);
		else if constexpr (Mode == SampleMode::Duplicate)
			outsideSamples[i] = texture.Duplicate(columns[i], rows[i]);
		sources[i] = reinterpret_cast<const uint8_t*>(&outsideSamples[i]);
		--outside;
	}
	pixelwalk::LoadScattered(sources, block);
	for (int i = 0; i < count; ++i)
	{
		FltPixel sample = block.Pixel(i);
		WeightByAlpha(sample, alphas[i]);
		block.Set(i, sample);
	}
}
}

/// Turns a block of UV pass pixels into output pixels: for each, the texture
/// pixel its position reads with `mode`, as `SampleTexture` reads it (none
/// where the UV pass's alpha is 0), weighted by that alpha.
void SampleBlock(const PixelSampler& texture, SampleMode mode, const Placement& placement, PixelBlock& block)
{
	switch (mode)
	{
	case SampleMode::Black: SampleBlockAs<SampleMode::Black>(texture, placement, block); break;
	case SampleMode::Wrap: SampleBlockAs<SampleMode::Wrap>(texture, placement, block); break;
	case SampleMode::Duplicate: SampleBlockAs<SampleMode::Duplicate>(texture, placement, block); break;
	case SampleMode::None: SampleBlockAs<SampleMode::None>(texture, placement, block); break;
	}
}
}

using namespace UVpositionerKernel;

// The sampler inlined into the pixel loop, as the other per-pixel steps are.
[[gnu::flatten]] void UVpositioner::Process(Request* request)
{
	const UVOptions options{NumberValue(InSwap, request) != 0.0, NumberValue(InFlipX, request) != 0.0,
	                        NumberValue(InFlipY, request) != 0.0};
	const double uScale = NumberValue(InUScale, request);
	const double vScale = NumberValue(InVScale, request);
	const double xOffset = NumberValue(InXOffset, request);
	const double yOffset = NumberValue(InYOffset, request);
	Image* texture = ImageValue(InImage, request);
	Image* uvPass = ImageValue(InUV, request);
	if (!texture || !uvPass)
		return;
	// Every pixel is written below, so the new image is not cleared.
	Image* output = NewImageLike(uvPass);
	const Placement placement{options, xOffset, yOffset, uScale, vScale, static_cast<double>(texture->Width),
	                          static_cast<double>(texture->Height)};
	const SampleMode mode = ChosenMode(ChoiceValue(InSampleMode, request));

	// A plain UV pass makes a plain output, which keeps B, G, R and A of the
	// samples and nothing else: the texture is read through a sampler.
	if (uvPass->IsPlainFloatRGBA())
	{
		const PixelSampler sampler(texture);
		MapPixelBlocks(uvPass, nullptr, output,
		               [&](PixelBlock& block, const PixelBlock&) { SampleBlock(sampler, mode, placement, block); });
		OutImage->Set(request, output, nullptr);
		return;
	}

	std::optional<PixelSampler> plainTexture;
	if (texture->IsPlainFloatRGBA())
		plainTexture.emplace(texture);
	PixPtr uvCursor(uvPass), out(output);
	FltPixel uvPixel;
	for (int y = 0; y < uvPass->Height; ++y)
	{
		uvCursor.GotoXY(0, y);
		out.GotoXY(0, y);
		for (int x = 0; x < uvPass->Width; ++x)
		{
			uvPixel >>= uvCursor;
			// Channels the sampler does not set are 0.
			FltPixel sample;
			if (mode != SampleMode::None && uvPixel.A != 0.0f)
			{
				const UVPosition uv = ReadUV(uvPixel, options);
				SampleTexture(*texture, plainTexture ? &*plainTexture : nullptr, mode,
				              TexturePosition(uv.U, xOffset, uScale, placement.Width),
				              TexturePosition(uv.V, yOffset, vScale, placement.Height), sample);
			}
			WeightByAlpha(sample, uvPixel.A);
			out >>= sample;
		}
	}
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(UVpositioner, "Korvane.UVpositioner",
                 {"UVpositioner", "QZ_Tools\\UVTools", "UVpositioner", "UV positioner", IconDissolve, true, true});
