// Channel normalizer: stretches red, green and blue so that the smallest and
// largest value of each channel over the frame become 0 and 1. Per channel, a
// minimum and a maximum threshold keep outliers out of the search for the
// extremes; optionally one common range is applied to all three channels.
#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"

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

namespace
{
// The extremes start here rather than at the float limits: a channel with no
// value inside its thresholds then keeps these as its range.
constexpr double StartMin = 255.0;
constexpr double StartMax = 0.0;

/// The extremes of one colour channel over the frame. Each test looks at one
/// threshold only: `Min` is the smallest value >= `Low` (values above `High`
/// included), `Max` the largest value <= `High` (values below `Low` included).
struct ChannelExtremes
{
	double Low, High;  // the channel's thresholds
	double Min = StartMin, Max = StartMax;

	/// if v >= Low and v < Min: Min = v;  if v <= High and v > Max: Max = v
	void Include(float value)
	{
		const double v = value;
		if (v >= Low && v < Min)
			Min = v;
		if (v <= High && v > Max)
			Max = v;
	}
};

/// How one channel is remapped: (v - Origin) / Span in double, narrowed to
/// float, or 0 everywhere when the channel has no usable range.
struct ChannelStretch
{
	bool Usable;
	double Origin, Span;

	float Apply(float value) const
	{
		return Usable ? static_cast<float>((value - Origin) / Span) : 0.0f;
	}
};

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
		for (int i = 0; i < block.Count; ++i)
		{
			red.Include(block.R[i]);
			green.Include(block.G[i]);
			blue.Include(block.B[i]);
		}
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
