// Screen-space ambient occlusion: from a normal pass and a position pass (blue
// is depth), every pixel sums how far nearby positions, inside a radius that
// shrinks with depth, lie in front of its surface, weighted down with
// distance. The occlusion fills the four colour channels of a copy of the
// normal pass. Rows run in parallel on the host's worker threads.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "Declarations.h"
#include "PixelSampler.h"
#include "Random.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/SSAO.h"
#include "Vectors.h"

class SSAO : public ThreadedOperator
{
public:
	SSAO(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~SSAO() override = default;
	int SizeOf() override { return sizeof(SSAO); }
	void Process(Request* request) override;
	void ProcessChunk(Request* request, int row) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InSampleRad, *InIntensity, *InScale, *InBias, *InQuality;

	// The request in hand: written by Process before the rows start, only
	// read by ProcessChunk.
	double Scale = 0.0, SampleRadius = 0.0, Intensity = 0.0, Bias = 0.0;
	int Quality = 1;
	Image *NormalsImage = nullptr, *PositionImage = nullptr, *OutputImage = nullptr;
	std::unique_ptr<PixelSampler> Positions;
	std::vector<float2> SetTurns;  // SetTurn(set, Quality) of every direction set

	Input *InNormals, *InPosition;
	Output* OutImage;

	static const std::vector<InputDecl<SSAO>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<SSAO>>& SSAO::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, slider{Control, CLSID_InputControl_Slider};
	static const std::vector<InputDecl<SSAO>> inputs = {
		{&SSAO::InLabel, "Screen Space Ambient Occlusion", "SSAO", LabelTags()},
		{&SSAO::InSampleRad, "Sample Radius", "SampleRad", {number, slider, {Default, 100.0}}},
		{&SSAO::InIntensity, "Intensity", "Intensity", {number, slider, {Default, 1.0}}},
		{&SSAO::InScale, "Scale", "Scale", {number, slider, {Default, 1.0}}},
		{&SSAO::InBias, "Bias", "Bias", {number, slider, {Default, 0.0}}},
		// This slider keeps its own attribute order: IntegerOnly, then the range from the top.
		{&SSAO::InQuality, "Quality", "Quality",
		 {number, slider, {IntegerOnly, 1}, {RangeHigh, 16.0}, {RangeLow, 1.0}, {Default, 1.0}},
		 320},  // sets of 16 samples per pixel: twenty times the slider's reach
		{&SSAO::InNormals, "Normals", "Normals", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
		{&SSAO::InPosition, "Position", "Position", {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 1}}},
	};
	return inputs;
}

SSAO::SSAO(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &SSAO::OutImage);
}

namespace
{
/// The sampling directions of passes 0 to 3.
const float2 DirectionTable[4] = {float2(1.0, 0.0), float2(-1.0, 0.0), float2(0.0, 1.0), float2(0.0, -1.0)};

/// A quarter turn, in radians (π / 2).
constexpr double QuarterTurn = 1.5707963267948966;

/// The 45° turn of a pass's second and fourth samples (0.707, not 1/√2).
constexpr double TurnFactor = 0.707;

/// Four samples in each of the four directions of a set.
constexpr int SamplesPerSet = 16;

/// The random draws of one pixel, private to it: SplitMix64 started from a
/// hash of the pixel's position, its outputs cut to 31 bits, so each draw
/// lies in 0 .. 2147483647 like rand(). The same pixel gets the same draws on
/// every render, on any thread and for any number of threads, and the
/// process-wide generator is never touched.
class PixelDraws
{
public:
	PixelDraws(int x, int y)
		: State(Mix((static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) | static_cast<std::uint32_t>(y)))
	{
	}

	int operator()()
	{
		State += 0x9E3779B97F4A7C15u;
		return static_cast<int>(Mix(State) >> 33);
	}

private:
	/// SplitMix64's finaliser: every input bit affects every output bit.
	static std::uint64_t Mix(std::uint64_t z)
	{
		z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
		z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
		return z ^ (z >> 31);
	}

	std::uint64_t State;
};

}

namespace SSAOKernel
{
/// The "Quality" value as a whole number of direction sets: truncated toward
/// zero, below 1 (and NaN) taken as 1, and at most INT_MAX / 4 so that the
/// pass count 4 × quality stays an int.
int QualityOf(double value)
{
	if (!(value >= 1.0))
		return 1;
	return static_cast<int>(std::min(value, static_cast<double>(INT_MAX / 4)));
}

/// The turn of the passes of direction set k (passes 4k to 4k + 3) as
/// (cos, sin) of k × 90° / quality: pass j uses table entry j mod 4 turned
/// by (j div 4) × 90° / quality, so that passes beyond the fourth add new
/// directions spread evenly over the quarter turn. Set 0 is no turn.
float2 SetTurn(int set, int quality)
{
	const double angle = set * QuarterTurn / quality;
	return float2(std::cos(angle), std::sin(angle));
}

/// `d` turned by the angle whose (cos, sin) is `turn`; exact for no turn.
float2 Turned(const float2& d, const float2& turn)
{
	return float2(d.x * turn.x - d.y * turn.y, d.x * turn.y + d.y * turn.x);
}

/// The position-pass pixel at whole-pixel position `pos` (edge pixel
/// outside) as (red, green, blue), unchanged. Inlined into the sample loop:
/// every pixel reads seventeen positions.
[[gnu::always_inline]] static inline float3 getPosition(float2 pos, const PixelSampler& positions)
{
	const Bgra pixel = positions.Duplicate(WholePixelOf(pos.x), WholePixelOf(pos.y));
	return float3(pixel.R, pixel.G, pixel.B);
}

/// A normal-pass pixel decoded from 0..1: normalize(c × 2 - 1) in single
/// precision, with c = (red, green, blue); a zero vector stays zero.
float3 getNormal(const FltPixel& pixel)
{
	float3 n = (float3(pixel.R, pixel.G, pixel.B) * 2.0f) - 1.0f;
	return n.Normalize();
}

/// i reflected about n: i - (n × 2) × (n · i), in double precision.
float2 reflect(float2 i, float2 n)
{
	return i - (n * 2.0) * n.dot(i);
}

/// The occlusion one sample adds, from the position q read at the sample:
///     diff = q - p   (single precision)
///     d = |diff| × scale   (stored in single precision)
///     t = normalize(diff) · cnorm - bias
///     result = max(t, 0) × (1 / (1 + d)) × intensity   (a NaN t counts as 0)
double Occlusion(const float3& q, const float3& p, const float3& cnorm, double bias, double scale, double intensity)
{
	const float3 diff = q - p;
	const float d = static_cast<float>(static_cast<double>(diff.Length()) * scale);
	float3 v = diff;
	v.Normalize();
	const double t = static_cast<double>(v.dot(cnorm)) - bias;
	const double m = t > 0.0 ? t : 0.0;
	return m * (1.0 / (1.0 + d)) * intensity;
}

/// The occlusion of the sample at tcoord + offset.
double doAmbientOcclusion(float2 tcoord, float2 offset, float3 p, float3 cnorm, const PixelSampler& positions,
                          double bias, double scale, double intensity)
{
	return Occlusion(getPosition(tcoord + offset, positions), p, cnorm, bias, scale, intensity);
}

/// Adds one sample's occlusion to the single-precision sum, in double.
void Accumulate(float& ao, double sample)
{
	ao = static_cast<float>(static_cast<double>(ao) + sample);
}
}

using namespace SSAOKernel;

void SSAO::Process(Request* request)
{
	Scale = NumberValue(InScale, request);
	SampleRadius = NumberValue(InSampleRad, request);
	Intensity = NumberValue(InIntensity, request);
	Bias = NumberValue(InBias, request);
	Quality = QualityOf(NumberValue(InQuality, request));
	NormalsImage = ImageValue(InNormals, request);
	PositionImage = ImageValue(InPosition, request);
	if (!NormalsImage || !PositionImage)
		return;
	Positions = std::make_unique<PixelSampler>(PositionImage);
	SetTurns.clear();
	for (int set = 0; set < Quality; ++set)
		SetTurns.push_back(SetTurn(set, Quality));
	// Every pixel is written by the rows, so the new image is not cleared.
	OutputImage = NewImageLike(NormalsImage);
	DoMultiProcess(request, NormalsImage->Height);
	OutImage->Set(request, OutputImage, nullptr);
	Positions.reset();
}

// Every call of the row inlined, the samples' arithmetic included: each
// pixel takes sixteen samples per direction set.
[[gnu::flatten]] void SSAO::ProcessChunk(Request*, int row)
{
	PixPtr src(NormalsImage), dst(OutputImage);
	src.GotoXY(0, row);
	dst.GotoXY(0, row);
	// The pass count 4 × quality, to float, to double, times 4.0.
	const double samples = static_cast<double>(static_cast<float>(4 * Quality)) * 4.0;
	const PixelSampler& positions = *Positions;
	FltPixel pixel;
	for (int x = 0; x < NormalsImage->Width; ++x)
	{
		const float2 uv(x, row);
		const float3 p = getPosition(uv, positions);
		pixel >>= src;
		const float3 n = getNormal(pixel);
		PixelDraws draws(x, row);
		const float2 r = getRandom(draws);
		float ao = 0.0f;
		const float rad = static_cast<float>(SampleRadius / static_cast<double>(p.z));
		for (const float2& turn : SetTurns)
		{
			// The set's sixteen positions are read first, in the order their
			// occlusions are summed; the occlusions are then worked out side
			// by side, and summed in that order.
			float qx[SamplesPerSet], qy[SamplesPerSet], qz[SamplesPerSet];
			int k = 0;
			for (const float2& entry : DirectionTable)
			{
				const float2 d1 = reflect(Turned(entry, turn), r) * static_cast<double>(rad);
				const float2 d2(d1.x * TurnFactor - d1.y * TurnFactor, d1.x * TurnFactor + d1.y * TurnFactor);
				for (const float2& offset : {d1 * 0.25, d2 * 0.5, d1 * 0.75, d2})
				{
					const float3 q = getPosition(uv + offset, positions);
					qx[k] = q.x;
					qy[k] = q.y;
					qz[k] = q.z;
					++k;
				}
			}
			double occlusions[SamplesPerSet];
			for (int i = 0; i < SamplesPerSet; ++i)
				occlusions[i] = Occlusion(float3(qx[i], qy[i], qz[i]), p, n, Bias, Scale, Intensity);
			for (const double occlusion : occlusions)
				Accumulate(ao, occlusion);
		}
		ao = static_cast<float>(static_cast<double>(ao) / samples);
		pixel.R = pixel.G = pixel.B = pixel.A = ao;
		dst >>= pixel;
	}
}

QZ_REGISTER_TOOL(SSAO, "Korvane.SSAO",
                 {"SSAO", "QZ_Tools\\RelightTools", "SSAO", "Screen Space Ambient Occlusion", IconDissolve, false,
                  true});
