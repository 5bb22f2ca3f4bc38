// Channel normalizer: stretches red, green and blue so that the smallest and
// largest value of each channel over the frame become 0 and 1. Per channel, a
// minimum and a maximum threshold keep outliers out of the search for the
// extremes; optionally one common range is applied to all three channels.
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

/// The first of the values that is 0 (of either sign) and passes `test`.
template <class Test>
double ChannelExtremes::FirstZero(const float* values, int count, Test test)
{
	for (int i = 0; i < count; ++i)
		if (values[i] == 0.0f && test(values[i]))
			return values[i];
	return 0.0;
}

/// Takes `count` values in order, each v as
///     if v >= Low and v < Min: Min = v;  if v <= High and v > Max: Max = v
/// Four values at a time go to four lanes that each keep running extremes
/// that way, side by side; the most extreme lane has the value the walk in
/// order ends with. It has its bits too, but for a zero: -0 and +0 compare
/// equal, and the walk in order keeps the first, so a new extreme of 0 is
/// looked up in order.
void ChannelExtremes::IncludeAll(const float* values, int count)
{
	const Doubles low = {Low, Low, Low, Low}, high = {High, High, High, High};
	Doubles mins = {Min, Min, Min, Min}, maxs = {Max, Max, Max, Max};
	int i = 0;
	for (; i + 4 <= count; i += 4)
	{
		Floats four;
		std::memcpy(&four, values + i, sizeof four);
		const Doubles v = __builtin_convertvector(four, Doubles);
		mins = ((v >= low) & (v < mins)) ? v : mins;
		maxs = ((v <= high) & (v > maxs)) ? v : maxs;
	}
	double min = Min, max = Max;
	for (int lane = 0; lane < 4; ++lane)
	{
		min = mins[lane] < min ? mins[lane] : min;
		max = maxs[lane] > max ? maxs[lane] : max;
	}
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
	ChannelExtremes red{NumberValue(InRedMin, request), NumberValue(InRedMax, request)};
	ChannelExtremes green{NumberValue(InGreenMin, request), NumberValue(InGreenMax, request)};
	ChannelExtremes blue{NumberValue(InBlueMin, request), NumberValue(InBlueMax, request)};
	const bool commonRange = NumberValue(InLuminance, request) == 1.0;
	Image* input = ImageValue(InImage, request);
	if (!input)
		return;
	Image* output = NewImageLike(input);

	VisitPixelBlocks(input, [&](const PixelBlock& block) {
		red.IncludeAll(block.R, block.Count);
		green.IncludeAll(block.G, block.Count);
		blue.IncludeAll(block.B, block.Count);
	});

	const ChannelExtremes channels[3] = {red, green, blue};
	const ChannelStretch common = CommonRange(channels);
	const ChannelStretch r = commonRange ? common : OwnRange(red);
	const ChannelStretch g = commonRange ? common : OwnRange(green);
	const ChannelStretch b = commonRange ? common : OwnRange(blue);

	MapPixels(input, output, [&](FltPixel& pixel) {
		pixel.R = r.Apply(pixel.R);
		pixel.G = g.Apply(pixel.G);
		pixel.B = b.Apply(pixel.B);
	});
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(Normalizer, "Korvane.Normalizer",
                 {"Normalizer", "QZ_Tools\\ColorTools", "Normalizer", "Channel Normalizer", IconBrightness, {}, {}});
