// Channel normalizer: stretches red, green and blue so that the smallest and
// largest value of each channel over the frame become 0 and 1. Per channel, a
// minimum and a maximum threshold keep outliers out of the search for the
// extremes; optionally one common range is applied to all three channels.
#include <array>
#include <cstring>

#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/Normalizer.h"

class Normalizer : public ThreadedOperator
{
public:
	Normalizer(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~Normalizer() override = default;
	int SizeOf() override { return sizeof(Normalizer); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InLuminance;
	Input *InRedMin, *InRedMax, *InGreenMin, *InGreenMax, *InBlueMin, *InBlueMax;
	Input* InImage;
	Output* OutImage;

	static const std::vector<InputDecl<Normalizer>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<Normalizer>>& Normalizer::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, slider{Control, CLSID_InputControl_Slider};
	static const std::vector<InputDecl<Normalizer>> inputs = {
		{&Normalizer::InLabel, "Auto Normalizes Color Values", "ICI", LabelTags()},
		{&Normalizer::InLuminance, "Normalize By Image Luminance (not separate channels)", "Lum",
		 {number, {Control, CLSID_InputControl_Checkbox}, {Default, 0.0}}},
		{&Normalizer::InRedMin, "Min R Value To Hold In Account", "RTreshMin", {number, slider, {Default, 0.0}}},
		{&Normalizer::InRedMax, "Max R Value To Hold In Account", "RTreshMax", {number, slider, {Default, 1.0}}},
		{&Normalizer::InGreenMin, "Min G Value To Hold In Account", "GTreshMin", {number, slider, {Default, 0.0}}},
		{&Normalizer::InGreenMax, "Max G Value To Hold In Account", "GTreshMax", {number, slider, {Default, 1.0}}},
		{&Normalizer::InBlueMin, "Min B Value To Hold In Account", "BTreshMin", {number, slider, {Default, 0.0}}},
		{&Normalizer::InBlueMax, "Max B Value To Hold In Account", "BTreshMax", {number, slider, {Default, 1.0}}},
		{&Normalizer::InImage, "Input", "Input", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}}},
	};
	return inputs;
}

Normalizer::Normalizer(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &Normalizer::OutImage);
}

namespace NormalizerKernel
{
// Four channel values side by side, as single and as double precision.
using Floats = float __attribute__((vector_size(4 * sizeof(float))));
using Doubles = double __attribute__((vector_size(4 * sizeof(double))));
// Running extremes in four groups of four lanes, so that the comparisons of
// one value need not wait for those of the value before.
constexpr int Groups = 4;
constexpr int Lanes = 4 * Groups;

/// The first of the values that is 0 (of either sign) and passes `test`.
template <class Test>
double ChannelExtremes::FirstZero(const float* values, int count, Test test)
{
	for (int i = 0; i < count; ++i)
		if (values[i] == 0.0f && test(values[i]))
			return values[i];
	return 0.0;
}

/// The least lane, or the greatest: first group against group, then lane
/// against lane. Which of two equal lanes it keeps does not matter: only
/// zeros compare equal and differ.
template <bool Greatest>
double WinningLane(const Doubles (&groups)[Groups])
{
	Doubles best = groups[0];
	for (int g = 1; g < Groups; ++g)
		best = (Greatest ? groups[g] > best : groups[g] < best) ? groups[g] : best;
	double winner = best[0];
	for (int lane = 1; lane < 4; ++lane)
		winner = (Greatest ? best[lane] > winner : best[lane] < winner) ? best[lane] : winner;
	return winner;
}

/// Takes `count` values in order, each v as
///     if v >= Low and v < Min: Min = v;  if v <= High and v > Max: Max = v
/// Sixteen values at a time go to sixteen lanes that each keep running
/// extremes that way, side by side; the most extreme lane has the value the
/// walk in order ends with. It has its bits too, but for a zero: -0 and +0
/// compare equal, and the walk in order keeps the first, so a new extreme of
/// 0 is looked up in order.
void ChannelExtremes::IncludeAll(const float* values, int count)
{
	const Doubles low = {Low, Low, Low, Low}, high = {High, High, High, High};
	Doubles mins[Groups], maxs[Groups];
	for (int g = 0; g < Groups; ++g)
	{
		mins[g] = Doubles{Min, Min, Min, Min};
		maxs[g] = Doubles{Max, Max, Max, Max};
	}
	int i = 0;
	for (; i + Lanes <= count; i += Lanes)
		for (int g = 0; g < Groups; ++g)
		{
			Floats four;
			std::memcpy(&four, values + i + 4 * g, sizeof four);
			const Doubles v = __builtin_convertvector(four, Doubles);
			mins[g] = ((v >= low) & (v < mins[g])) ? v : mins[g];
			maxs[g] = ((v <= high) & (v > maxs[g])) ? v : maxs[g];
		}
	double min = WinningLane<false>(mins);
	double max = WinningLane<true>(maxs);
	for (; i < count; ++i)
	{
		const double v = values[i];
		min = v >= Low && v < min ? v : min;
		max = v <= High && v > max ? v : max;
	}
	if (min < Min)
		Min = min != 0.0 ? min : FirstZero(values, count, [this](double v) { return v >= Low; });
	if (max > Max)
		Max = max != 0.0 ? max : FirstZero(values, count, [this](double v) { return v <= High; });
}

/// Takes the extremes that a later span of the frame found from the
/// starting ones, as if its values came next: a later extreme replaces an
/// earlier one only where it is strictly beyond it, as a later value would.
void ChannelExtremes::IncludeLater(const ChannelExtremes& later)
{
	if (later.Min < Min)
		Min = later.Min;
	if (later.Max > Max)
		Max = later.Max;
}

/// How one channel is remapped: (v - Origin) / Span in double, narrowed to
/// float, or 0 everywhere when the channel has no usable range.
float ChannelStretch::Apply(float value) const
{
	return Usable ? static_cast<float>((value - Origin) / Span) : 0.0f;
}

/// Separate mode: the channel's own range, used when max - min != 0,
/// max <= High and min >= Low.
ChannelStretch OwnRange(const ChannelExtremes& c)
{
	const double span = c.Max - c.Min;
	return {span != 0.0 && c.Max <= c.High && c.Min >= c.Low, c.Min, span};
}

/// Common mode: the lowest minimum and the highest maximum of the three
/// channels (each only where it lies within its own threshold), shared by all
/// three; no range at all when they are equal.
ChannelStretch CommonRange(const ChannelExtremes (&channels)[3])
{
	double low = StartMin, high = StartMax;
	for (const ChannelExtremes& c : channels)
		if (c.Min >= c.Low && c.Min < low)
			low = c.Min;
	for (const ChannelExtremes& c : channels)
		if (c.Max <= c.High && c.Max > high)
			high = c.Max;
	const double span = high - low;
	return {span != 0.0, low, span};
}
}

using namespace NormalizerKernel;

void Normalizer::Process(Request* request)
{
	const ChannelExtremes red{NumberValue(InRedMin, request), NumberValue(InRedMax, request)};
	const ChannelExtremes green{NumberValue(InGreenMin, request), NumberValue(InGreenMax, request)};
	const ChannelExtremes blue{NumberValue(InBlueMin, request), NumberValue(InBlueMax, request)};
	const bool commonRange = NumberValue(InLuminance, request) == 1.0;
	Image* input = ImageValue(InImage, request);
	if (!input)
		return;
	Image* output = NewImageLike(input);

	// Each span of the frame finds its own extremes, and the spans' are then
	// taken in row order.
	using RGBExtremes = std::array<ChannelExtremes, 3>;
	const RGBExtremes found = GatherPixelBlocks(
		input, RGBExtremes{red, green, blue},
		[](RGBExtremes& extremes, const PixelBlock& block) {
			extremes[0].IncludeAll(block.R, block.Count);
			extremes[1].IncludeAll(block.G, block.Count);
			extremes[2].IncludeAll(block.B, block.Count);
		},
		[](RGBExtremes& extremes, const RGBExtremes& later) {
			for (int c = 0; c < 3; ++c)
				extremes[c].IncludeLater(later[c]);
		});
	const ChannelExtremes channels[3] = {found[0], found[1], found[2]};
	const ChannelStretch common = CommonRange(channels);
	const ChannelStretch r = commonRange ? common : OwnRange(channels[0]);
	const ChannelStretch g = commonRange ? common : OwnRange(channels[1]);
	const ChannelStretch b = commonRange ? common : OwnRange(channels[2]);

	MapPixels(input, output, [&](FltPixel& pixel) {
		pixel.R = r.Apply(pixel.R);
		pixel.G = g.Apply(pixel.G);
		pixel.B = b.Apply(pixel.B);
	});
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(Normalizer, "Korvane.Normalizer",
                 {"Normalizer", "QZ_Tools\\ColorTools", "Normalizer", "Channel Normalizer", IconBrightness, {}, {}});
