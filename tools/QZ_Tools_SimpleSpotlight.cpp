// Spot relighter: the light a spotlight, placed by its position and the point
// it aims at, casts on a position pass: a cosine-power falloff around the
// spot's axis, times the intensity, optionally times the cosine between each
// surface normal and the axis. The light value fills all four channels.
#include <cmath>

#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/SimpleSpotlight.h"
#include "Vectors.h"

class SimpleSpotlight : public ThreadedOperator
{
public:
	SimpleSpotlight(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~SimpleSpotlight() override = default;
	int SizeOf() override { return sizeof(SimpleSpotlight); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InRed, *InGreen, *InBlue, *InRed2, *InGreen2, *InBlue2, *InConeSize, *InLightIntensity;
	Input *InPosition, *InNormals;
	Output* OutImage;

	static const std::vector<InputDecl<SimpleSpotlight>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<SimpleSpotlight>>& SimpleSpotlight::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, colour{Control, CLSID_InputControl_Color};
	const DeclTag slider{Control, CLSID_InputControl_Slider};
	const DeclTag position{ControlGroup, 2}, target{ControlGroup, 3};
	static const std::vector<InputDecl<SimpleSpotlight>> inputs = {
		{&SimpleSpotlight::InLabel, "Simple Spotlight (Relighter)", "Spot Relight", LabelTags()},
		{&SimpleSpotlight::InRed, "Red", "Red",
		 {number, colour, {GroupName, "Light Position"}, position, {ControlChannel, 0}, {Default, 0.0}}},
		{&SimpleSpotlight::InGreen, "Green", "Green", {number, colour, position, {ControlChannel, 1}, {Default, 0.0}}},
		{&SimpleSpotlight::InBlue, "Blue", "Blue", {number, colour, position, {ControlChannel, 2}, {Default, 0.0}}},
		{&SimpleSpotlight::InRed2, "Red2", "Red2",
		 {number, colour, {GroupName, "Light Target"}, target, {ControlChannel, 0}, {Default, 0.0}}},
		{&SimpleSpotlight::InGreen2, "Green2", "Green2", {number, colour, target, {ControlChannel, 1}, {Default, 0.0}}},
		{&SimpleSpotlight::InBlue2, "Blue2", "Blue2", {number, colour, target, {ControlChannel, 2}, {Default, 0.0}}},
		{&SimpleSpotlight::InConeSize, "Light Cone Size", "LightConeSize",
		 {number, slider, {RangeLow, 1.0}, {RangeHighAlt, 100.0}, {IntegerOnly, 1}, {Default, 8.0}}},
		{&SimpleSpotlight::InLightIntensity, "Light Intensity", "LightIntensity", {number, slider, {Default, 1.0}}},
		{&SimpleSpotlight::InPosition, "Position", "Position",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
		{&SimpleSpotlight::InNormals, "Normals", "Normals",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 0}}},
	};
	return inputs;
}

SimpleSpotlight::SimpleSpotlight(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &SimpleSpotlight::OutImage);
}

namespace SimpleSpotlightKernel
{
/// `cone` as a whole number 0 .. MaxWholeCone, or -1 for any other value.
int WholeExponent(double cone)
{
	return cone >= 0.0 && cone <= MaxWholeCone && cone == std::floor(cone) ? static_cast<int>(cone) : -1;
}

/// max(v, 0) in single precision, keeping v when it is not less than 0 (so a
/// NaN passes through).
float NotBelowZero(float v)
{
	return v < 0.0f ? 0.0f : v;
}

/// The cosine of a position pixel P, in single precision:
///     v = normalize(lp - P.rgb)
///     m = max(v · a, 0)
/// A pixel at the light itself keeps v = 0 and so m = 0.
float SpotCosine(const FltPixel& position, const Spot& spot)
{
	const float3 p(position.R, position.G, position.B);
	float3 toLight(spot.LightPos.x - p.x, spot.LightPos.y - p.y, spot.LightPos.z - p.z);
	toLight.Normalize();
	return NotBelowZero(toLight.dot(spot.Axis));
}

/// m^n for each of `count` cosines by repeated squaring, for a whole n >= 0
/// of `Bits` binary digits (its highest set bit is bit Bits - 1). While no
/// partial product leaves the normal range, the relative error is below
/// (n - 1) x 2^-53 (each of at most 2 log2(n) roundings is raised to at most
/// the power of the exponent still to build).
template <int Bits>
void PowersBySquaring(const float* cosines, int count, int n, double* powers)
{
	// Bit 0 of n, then for each further bit the base squared, and taken into
	// the power where the bit is set. With the number of bits fixed, the
	// compiler runs the whole chain on several pixels at once in registers.
	for (int i = 0; i < count; ++i)
	{
		double base = cosines[i];
		double power = n & 1 ? 1.0 * base : 1.0;
		for (int bit = 1; bit < Bits; ++bit)
		{
			base *= base;
			if ((n >> bit) & 1)
				power *= base;
		}
		powers[i] = power;
	}
}

/// The squaring above with `bits` binary digits, for any `bits` up to
/// MostBits. (Direct calls, so that each build of the pixel walk inlines
/// them all.)
template <int MostBits>
void PowersBySquaringOfBits(int bits, const float* cosines, int count, int n, double* powers)
{
	if constexpr (MostBits > 0)
		if (bits < MostBits)
			return PowersBySquaringOfBits<MostBits - 1>(bits, cosines, count, n, powers);
	PowersBySquaring<MostBits>(cosines, count, n, powers);
}

/// The squaring above for n from 0 to MaxWholeCone.
void PowersBySquaring(const float* cosines, int count, int n, double* powers)
{
	constexpr int MostBits = 13;
	static_assert(MaxWholeCone < (1 << MostBits), "every whole exponent has a squaring");
	int bits = 0;
	while (n >> bits)
		++bits;
	PowersBySquaringOfBits<MostBits>(bits, cosines, count, n, powers);
}

/// How far, relatively, the light from pow's power may lie from the light
/// from the power squared to the whole exponent n: the squaring's error
/// (below (n - 1) x 2^-53), pow's own (below one unit in the last place,
/// 2^-52), the two roundings of each light and those of the bounds formed
/// from it, (n + 7) x 2^-53 in all to first order; twice that for room. One
/// plus or minus it is a double.
double SquaringTolerance(int n)
{
	return (n + 16) * 0x1p-52;
}

/// The smallest cosine whose power by squaring to the whole exponent n the
/// shortcut takes: from it up, m^n is above 2^-1000 (with room for the
/// roundings of 2^(-1000 / n) and of the squaring), so every partial product
/// of the squaring is a normal double. Any exponent takes zero exactly.
float SmallestTrustedCosine(int n)
{
	if (n <= 0)
		return 0.0f;
	const double smallest = std::exp2(-1000.0 / n) * (1.0 + 0x1p-20);
	return std::nextafter(static_cast<float>(smallest), 2.0f);
}

/// L = power x I, times the normal term f of pixel i when there are terms,
/// in double and in that order.
double Light(double power, const Spot& spot, const float* terms, int i)
{
	const double light = power * spot.Intensity;
	return terms ? light * static_cast<double>(terms[i]) : light;
}

/// R, G, B and A of pixel i all become its light value; other channels stay.
void SetLight(PixelBlock& block, int i, float light)
{
	block.R[i] = block.G[i] = block.B[i] = block.A[i] = light;
}

/// Whether the light from a squared power narrows to the float that the
/// light from pow's power does. Squaring a zero cosine is exact. Otherwise,
/// where everything within the tolerance of the light narrows to one float,
/// so does pow's light, since narrowing never reverses order. That holds for
/// an infinite light too: from an infinite intensity pow's light is the same
/// infinity, and past the double range it is still past the float range.
/// A NaN light has NaN bounds, which never compare equal. (All tests are on
/// floats, so that a block of pixels takes one width of lanes for them.)
bool NarrowsLikePow(float cosine, double light, const Spot& spot)
{
	const float low = static_cast<float>(light * (1.0 - spot.Tolerance));
	const float high = static_cast<float>(light * (1.0 + spot.Tolerance));
	return (cosine == 0.0f) | ((cosine >= spot.MinCosine) & (low == high));
}

/// The light of pixel i from pow's power, narrowed.
float LightByPow(const float* cosines, const float* terms, const Spot& spot, int i)
{
	return static_cast<float>(Light(std::pow(static_cast<double>(cosines[i]), spot.Cone), spot, terms, i));
}

/// Sets the lights of the block's pixels, float(L) for pow(m, c), from their
/// cosines and (or null) normal terms. pow costs far more than the rest of a
/// pixel, so a whole exponent is first raised by squaring for the whole
/// block; only the pixels whose light might then narrow differently take
/// pow, as do all pixels of any other exponent.
void SetNarrowedLights(const float* cosines, const float* terms, const Spot& spot, PixelBlock& block)
{
	const int count = block.Count;
	if (spot.WholeCone < 0)
	{
		for (int i = 0; i < count; ++i)
			SetLight(block, i, LightByPow(cosines, terms, spot, i));
		return;
	}
	double powers[PixelBlock::Capacity];
	PowersBySquaring(cosines, count, spot.WholeCone, powers);
	int unsure = 0;
	for (int i = 0; i < count; ++i)
	{
		const double light = Light(powers[i], spot, terms, i);
		unsure += !NarrowsLikePow(cosines[i], light, spot);
		SetLight(block, i, static_cast<float>(light));
	}
	for (int i = 0; unsure > 0; ++i)
		if (!NarrowsLikePow(cosines[i], Light(powers[i], spot, terms, i), spot))
		{
			SetLight(block, i, LightByPow(cosines, terms, spot, i));
			--unsure;
		}
}

/// The normal term: max(normalize(N.rgb) · a, 0), in single precision (the
/// light widens it). It uses the spot's axis, not the direction from the
/// pixel to the light.
float NormalTerm(const FltPixel& normal, const Spot& spot)
{
	float3 n(normal.R, normal.G, normal.B);
	n.Normalize();
	return NotBelowZero(n.dot(spot.Axis));
}
}

using namespace SimpleSpotlightKernel;

void SimpleSpotlight::Process(Request* request)
{
	const double px = NumberValue(InRed, request), py = NumberValue(InGreen, request), pz = NumberValue(InBlue, request);
	const double tx = NumberValue(InRed2, request), ty = NumberValue(InGreen2, request), tz = NumberValue(InBlue2, request);
	float3 axis(static_cast<float>(px - tx), static_cast<float>(py - ty), static_cast<float>(pz - tz));
	axis.Normalize();
	const double intensity = NumberValue(InLightIntensity, request);
	const double cone = NumberValue(InConeSize, request);
	const int wholeCone = WholeExponent(cone);
	const Spot spot{float3(static_cast<float>(px), static_cast<float>(py), static_cast<float>(pz)), axis, intensity,
	                cone, wholeCone, SquaringTolerance(wholeCone), SmallestTrustedCosine(wholeCone)};
	Image* positions = ImageValue(InPosition, request);
	Image* normals = ImageValue(InNormals, request);
	if (!positions)
		return;
	Image* output = NewImageLike(positions);

	// Every pixel is written in full, unless a normal pass of another size
	// leaves the output cleared: only then is the new image cleared. Each step
	// below is a loop over a block of pixels of its own, so that the compiler
	// can run it on several pixels at once.
	RenderWithMap(
		positions, normals, output,
		[&] {
			MapPixelBlocks(positions, nullptr, output, [&](PixelBlock& block, const PixelBlock&) {
				float cosines[PixelBlock::Capacity];
				for (int i = 0; i < block.Count; ++i)
					cosines[i] = SpotCosine(block.Pixel(i), spot);
				SetNarrowedLights(cosines, nullptr, spot, block);
			});
		},
		[&] {
			MapPixelBlocks(positions, normals, output, [&](PixelBlock& block, const PixelBlock& normalBlock) {
				float cosines[PixelBlock::Capacity];
				float terms[PixelBlock::Capacity];
				for (int i = 0; i < block.Count; ++i)
				{
					cosines[i] = SpotCosine(block.Pixel(i), spot);
					terms[i] = NormalTerm(normalBlock.Pixel(i), spot);
				}
				SetNarrowedLights(cosines, terms, spot, block);
			});
		});
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(SimpleSpotlight, "Korvane.SimpleSpotlight",
                 {"SimpleSpotlight", "QZ_Tools\\RelightTools", "SimpleSpotlight", "Spot Relighter", IconDissolve,
                  false, false});
