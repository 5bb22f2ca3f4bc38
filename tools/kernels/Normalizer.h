#pragma once
// Normalizer's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_ChNormalizer.cpp; declared here for tests on raw values.
namespace NormalizerKernel
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

	void IncludeAll(const float* values, int count);
	void IncludeLater(const ChannelExtremes& later);

private:
	template <class Test>
	static double FirstZero(const float* values, int count, Test test);
};

/// How one channel is remapped.
struct ChannelStretch
{
	bool Usable;
	double Origin, Span;

	float Apply(float value) const;
};

ChannelStretch OwnRange(const ChannelExtremes& c);
ChannelStretch CommonRange(const ChannelExtremes (&channels)[3]);
}
