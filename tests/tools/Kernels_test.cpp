// The tools' per-pixel arithmetic on raw values, hand-computed (each step in
// the precision its formula names), infinities and NaN included. Linked from
// the tools' objects: no plug-in is loaded.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/ClipMotionVectors.h"
#include "kernels/Convolution.h"
#include "kernels/DirtyDof.h"
#include "kernels/Falloff.h"
#include "kernels/Normalizer.h"
#include "kernels/Relight.h"
#include "kernels/SSAO.h"
#include "kernels/SimpleSpotlight.h"
#include "kernels/UVpositioner.h"
#include "kernels/UVunwrap.h"
#include "kernels/ZDevider.h"
#include "kernels/ZRemapper.h"
#include "UVCoordinates.h"

namespace
{
constexpr float Inf = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

/// Equal as results are: the same bits, or both NaN.
::testing::AssertionResult Same(float actual, float expected)
{
	if ((std::isnan(actual) && std::isnan(expected)) || std::memcmp(&actual, &expected, sizeof actual) == 0)
		return ::testing::AssertionSuccess();
	return ::testing::AssertionFailure() << "got " << actual << ", expected " << expected;
}

FltPixel Rgba(float r, float g, float b, float a = 1.0f)
{
	FltPixel p;
	p.R = r, p.G = g, p.B = b, p.A = a;
	return p;
}
}

TEST(Kernels, ZDeviderDividesInDoubleAndNarrowsOnce)
{
	const struct
	{
		float Value;
		double Zmax, Expected;
	} cases[] = {
		{5.0f, 10.0, 0.5},       {1.0f, 3.0, 0.33333334f},  {0.7f, 0.3, 2.3333333f},
		{1.0f, 0.0, Inf},        {-1.0f, 0.0, -Inf},        {0.0f, 0.0, NaN},
		{NaN, 2.0, NaN},         {Inf, 2.0, Inf},           {3e38f, 1e-10, Inf},  // too large for a float
		{1.4e-45f, 2.0, 0.0},    // half the smallest subnormal rounds to even
	};
	for (const auto& c : cases)
		EXPECT_TRUE(Same(ZDeviderKernel::DivideChannel(c.Value, c.Zmax), static_cast<float>(c.Expected)))
			<< c.Value << " / " << c.Zmax;
}

TEST(Kernels, ZRemapperPicksTheZoneByRedAndRemapsEachChannelOnItsOwnDepth)
{
	using ZRemapperKernel::FocusZone;
	const FocusZone lens{1.0, 10.0, 8.0, 13.0};
	const struct
	{
		FocusZone Zone;
		FltPixel In;
		float R, G, B;
	} cases[] = {
		{lens, Rgba(20, 20, 5), 7.0f, 7.0f, -8.0f},      // beyond the far limit: ((d + P) - Far) - P
		{lens, Rgba(11, 30, 1), 0.0f, 0.0f, 0.0f},       // behind the plane, inside the far limit
		{lens, Rgba(9, 30, 1), 0.0f, 0.0f, 0.0f},        // in front, inside the near limit
		{lens, Rgba(2, -2, 9), 6.0f, 6.0f, -1.0f},       // before the near limit: ((P - d) + Near) - P, |v|
		{lens, Rgba(NaN, 1, 1), NaN, 7.0f, 7.0f},        // a NaN depth is taken as in front
		{{1.0, 10.0, 8.0, -1.0}, Rgba(1000, 1, 1), 0.0f, 0.0f, 0.0f},  // far limit at infinity
		{{0.0, 10.0, 8.0, 13.0}, Rgba(1, 1, 1), Inf, Inf, Inf},        // scale 0: every depth infinite
		{{0.1, 3.3, 2.9, 3.9}, Rgba(0.7f, 0.3f, 0.1f), 3.1f, -0.89999986f, -2.9f},  // rounding of each step
	};
	for (const auto& c : cases)
	{
		FltPixel p = c.In;
		p.A = 0.25f;
		ZRemapperKernel::RemapPixel(p, c.Zone);
		EXPECT_TRUE(Same(p.R, c.R)) << c.In.R;
		EXPECT_TRUE(Same(p.G, c.G)) << c.In.R;
		EXPECT_TRUE(Same(p.B, c.B)) << c.In.R;
		EXPECT_EQ(p.A, 0.25f);
	}

	// Only a power of two within 2^±500 has a reciprocal to scale by, and
	// scaling by it gives the divided depth for every kind of float.
	const struct
	{
		double Scale, Reciprocal;
	} scales[] = {{1.0, 1.0}, {0.25, 4.0}, {-2.0, -0.5}, {0x1p500, 0x1p-500}, {0x1p-500, 0x1p500}, {10.0, 0.0},
	              {0x1p501, 0.0}, {0.0, 0.0}, {Inf, 0.0}, {NaN, 0.0}};
	const float depths[] = {0.0f, -0.0f, 1.0f, -7.3f, 1e-45f, 3.4e38f, Inf, -Inf, NaN};
	for (const auto& s : scales)
	{
		const FocusZone zone{s.Scale, 10.0, 8.0, 13.0, ZRemapperKernel::ExactReciprocal(s.Scale)};
		EXPECT_EQ(zone.Reciprocal, s.Reciprocal) << s.Scale;
		if (zone.Reciprocal != 0.0)
			for (float v : depths)
			{
				const double scaled = ZRemapperKernel::ScaledDepth(v, zone, true);
				const double divided = ZRemapperKernel::ScaledDepth(v, zone, false);
				EXPECT_TRUE(scaled == divided || (std::isnan(scaled) && std::isnan(divided))) << v << " / " << s.Scale;
			}
	}
}

TEST(Kernels, ClipMotionVectorsChangesOnlyVectorsAtLeastTheMaximumLong)
{
	using namespace ClipMotionVectorsKernel;
	EXPECT_EQ(ModeOf("Clip"), ClipMode::Clip);
	EXPECT_EQ(ModeOf("Devide"), ClipMode::Devide);
	EXPECT_EQ(ModeOf("Disable"), ClipMode::Disable);
	EXPECT_EQ(ModeOf("Divide"), ClipMode::Keep);

	EXPECT_TRUE(Same(VectorLength(Rgba(3, 4, 0)), 5.0f));
	EXPECT_TRUE(Same(VectorLength(Rgba(0.1f, 0.2f, 0.3f)), 0.37416577f));
	EXPECT_TRUE(Same(VectorLength(Rgba(3e38f, 3e38f, 0)), Inf));  // squares summed in single precision

	const struct
	{
		const char* Mode;
		FltPixel In;
		double MaxLength, Multiplier;
		float R, G, B;
	} cases[] = {
		{"Clip", Rgba(3, 4, 0), 2.0, 1.0, 1.2f, 1.6f, 0.0f},
		{"Clip", Rgba(0.1f, 0.2f, 0.3f), 0.2, 1.5, 0.080178365f, 0.16035673f, 0.24053511f},
		{"Clip", Rgba(1, 0, 0), 2.0, 3.0, 1.0f, 0.0f, 0.0f},  // shorter: kept, multiplier and all
		{"Clip", Rgba(3, 4, 0), 5.0, 1.0, 3.0f, 4.0f, 0.0f},  // exactly the maximum: clipped to itself
		{"Clip", Rgba(0, 0, 0), 0.0, 2.0, 0.0f, 0.0f, 0.0f},  // no direction to keep
		{"Clip", Rgba(NaN, 1, 0), 2.0, 1.0, NaN, NaN, NaN},
		{"Clip", Rgba(3e38f, 3e38f, 0), 2.0, 1.0, 0.0f, 0.0f, 0.0f},  // length overflows to inf
		{"Devide", Rgba(0.1f, 0.2f, 0.3f), 0.2, 1.5, 0.40089184f, 0.8017837f, 1.2026756f},
		{"Devide", Rgba(Inf, 0, 0), 2.0, 1.0, NaN, 0.0f, 0.0f},
		{"Disable", Rgba(3, 4, 0), 5.0, 9.0, 0.0f, 0.0f, 0.0f},
		{"Disable", Rgba(3, 4, 0), 5.5, 9.0, 3.0f, 4.0f, 0.0f},
		{"Disable", Rgba(NaN, 0, 0), 1.0, 1.0, 0.0f, 0.0f, 0.0f},
	};
	for (const auto& c : cases)
	{
		FltPixel p = c.In;
		p.A = 0.5f;
		const ClipMode mode = ModeOf(c.Mode);
		if (mode == ClipMode::Clip)
			ClipVector(p, c.MaxLength, c.Multiplier);
		else if (mode == ClipMode::Devide)
			DevideVector(p, c.MaxLength, c.Multiplier);
		else
			DisableVector(p, c.MaxLength);
		EXPECT_TRUE(Same(p.R, c.R)) << c.Mode << " " << c.In.R << "," << c.In.G << "," << c.In.B;
		EXPECT_TRUE(Same(p.G, c.G)) << c.Mode << " " << c.In.R << "," << c.In.G << "," << c.In.B;
		EXPECT_TRUE(Same(p.B, c.B)) << c.Mode << " " << c.In.R << "," << c.In.G << "," << c.In.B;
		EXPECT_EQ(p.A, 0.5f);
	}
}

TEST(Kernels, FalloffAndRelightMasksWriteAllFourChannels)
{
	const struct
	{
		FltPixel Normal;
		double Intensity;
		float Expected;
	} falloff[] = {
		{Rgba(0, 0, 1), 1.0, 0.0f},           // facing the camera
		{Rgba(1, 0, 0), 1.0, 1.0f},           // edge on
		{Rgba(1, 0, 1), 1.0, 0.2928932f},     // 1 - 1/sqrtf(2)
		{Rgba(1, 1, 1), 1.0, 0.4226497f},
		{Rgba(0.3f, 0.4f, -0.5f), 0.8, 0.23431456f},
		{Rgba(1, 0, 0, 0.5f), 0.5, 0.25f},    // times intensity, then alpha
		{Rgba(1, 0, 0), 3.0, 1.0f},           // clamped to 1
		{Rgba(0, 0, 0, 0.7f), 1.0, 0.0f},     // no direction: 0 whatever the alpha
		{Rgba(NaN, 0, 1), 1.0, NaN},
		{Rgba(0, 0, Inf), 1.0, NaN},
	};
	for (const auto& c : falloff)
	{
		FltPixel p = c.Normal;
		p.Aux[0] = 7.0f;
		FalloffKernel::ShadeFalloff(p, c.Intensity);
		for (float channel : {p.R, p.G, p.B, p.A})
			EXPECT_TRUE(Same(channel, c.Expected)) << c.Normal.R << "," << c.Normal.G << "," << c.Normal.B;
		EXPECT_EQ(p.Aux[0], 7.0f);
	}

	using RelightKernel::Ramp;
	const struct
	{
		double Dist, Size, Reach, Position;
	} ramps[] = {
		{1.0, 0.0, 2.0, 0.5}, {0.0, 0.0, 2.0, 0.0}, {3.0, 0.0, 2.0, 1.0},     // k = 1 / (S - I) = -0.5
		{0.0, 2.0, 0.0, 1.0}, {1.0, 2.0, 0.0, 0.5}, {2.5, 2.0, 0.0, 0.0},     // the opposite ramp
		{2.0, 2.0, 2.0, 0.0}, {2.0000001, 2.0, 2.0, 1.0}, {NaN, 2.0, 2.0, NaN},  // no width: a hard edge at I
		{NaN, 0.0, 2.0, NaN}, {Inf, 0.0, 2.0, 1.0},
	};
	for (const auto& c : ramps)
	{
		const double position = RelightKernel::RampPosition(c.Dist, Ramp(c.Size, c.Reach));
		EXPECT_TRUE(std::isnan(c.Position) ? std::isnan(position) : position == c.Position)
			<< c.Dist << " on " << c.Size << ".." << c.Reach << ": " << position;
	}

	const struct
	{
		FltPixel Pass;
		RelightKernel::Light Light;
		double Size, Reach;
		float Expected;
	} relight[] = {
		{Rgba(3, 4, 0), {0, 0, 0}, 0.0, 10.0, 0.5f},
		{Rgba(1, 1, 1), {0.5, 0.5, 0.5}, 0.2, 1.5, 0.48767278f},
		{Rgba(0.1f, 0.2f, 0.3f, 0.75f), {1, 2, 3}, 4.0, 1.0, 0.59187293f},
		{Rgba(NaN, 0, 0), {0, 0, 0}, 0.0, 1.0, NaN},
	};
	for (const auto& c : relight)
	{
		FltPixel p = c.Pass;
		RelightKernel::ShadeRelight(p, c.Light, Ramp(c.Size, c.Reach));
		for (float channel : {p.R, p.G, p.B, p.A})
			EXPECT_TRUE(Same(channel, c.Expected)) << c.Pass.R << "," << c.Pass.G << "," << c.Pass.B;
	}
}

TEST(Kernels, NormalizerFindsEachExtremeAgainstItsOwnThreshold)
{
	using namespace NormalizerKernel;
	// Nine values: two groups of four and a tail. NaN and infinities are never
	// an extreme; 2 is above High but counts for Min, -1 below Low for Max.
	const float values[] = {0.5f, NaN, 2.0f, 0.9f, Inf, -1.0f, 0.2f, -Inf, 0.55f};
	ChannelExtremes red{0.0, 1.0};
	red.IncludeAll(values, 9);
	EXPECT_EQ(red.Min, 0.2f);
	EXPECT_EQ(red.Max, 0.9f);
	const ChannelStretch own = OwnRange(red);
	EXPECT_TRUE(own.Usable);
	EXPECT_TRUE(Same(own.Apply(0.55f), 0.50000006f));  // (v - min) / (max - min), narrowed once

	// Of two zeros the first is kept, sign and all.
	const float zeros[] = {-0.0f, 0.0f, 0.5f};
	ChannelExtremes green{0.0, 1.0};
	green.IncludeAll(zeros, 3);
	EXPECT_TRUE(std::signbit(green.Min));

	// Nothing inside the thresholds: the starting extremes are the range.
	const float outside[] = {300.0f};
	ChannelExtremes blue{0.0, 1.0};
	blue.IncludeAll(outside, 1);
	EXPECT_EQ(blue.Min, StartMin);
	EXPECT_EQ(blue.Max, StartMax);
	EXPECT_TRUE(Same(OwnRange(blue).Apply(300.0f), -0.1764706f));

	// Common range: the lowest minimum and the highest maximum within their thresholds.
	ChannelExtremes wide{0.5, 2.0};
	const float more[] = {0.6f, 1.5f};
	wide.IncludeAll(more, 2);
	const ChannelExtremes channels[3] = {red, wide, blue};
	const ChannelStretch common = CommonRange(channels);
	EXPECT_EQ(common.Origin, 0.2f);
	EXPECT_EQ(common.Origin + common.Span, 1.5f);
	EXPECT_TRUE(Same(common.Apply(1.0f), 0.61538464f));

	// A channel without spread has no usable range: 0 everywhere.
	const float flat[] = {0.3f, 0.3f};
	ChannelExtremes still{0.0, 1.0};
	still.IncludeAll(flat, 2);
	EXPECT_FALSE(OwnRange(still).Usable);
	EXPECT_TRUE(Same(OwnRange(still).Apply(0.3f), 0.0f));
}

TEST(Kernels, UVunwrapPlacesInsideTheImageAndAveragesTheNeighboursThatExist)
{
	const struct
	{
		double C, Size, Expected;
	} positions[] = {
		{0.5, 10, 5.0}, {0.95, 10, 9.5}, {0.0, 10, 0.0}, {-0.1, 10, 0.0}, {1.0, 10, 9.0},
		{Inf, 10, 9.0}, {-Inf, 10, 0.0}, {NaN, 10, NaN}, {0.5, 1, 0.5},
	};
	for (const auto& p : positions)
	{
		const double target = UVunwrapKernel::TargetPosition(p.C, p.Size);
		EXPECT_TRUE(std::isnan(p.Expected) ? std::isnan(target) : target == p.Expected) << p.C << " of " << p.Size;
	}

	const FltPixel uv = Rgba(0.25f, 0.75f, 0.0f);
	const struct
	{
		UVOptions Options;
		double U, V;
	} reads[] = {
		{{false, false, false}, 0.25, 0.75}, {{true, false, false}, 0.75, 0.25},
		{{false, true, false}, 0.75, 0.75},  {{false, false, true}, 0.25, 0.25},
		{{true, true, true}, 0.25, 0.75},
	};
	for (const auto& r : reads)
	{
		const UVPosition at = ReadUV(uv, r.Options);
		EXPECT_EQ(at.U, r.U);
		EXPECT_EQ(at.V, r.V);
	}

	// A 3 x 2 image whose pixel (x, y) holds x + 10 y in every channel.
	Image image(3, 2);
	PixPtr cursor(&image);
	for (int y = 0; y < 2; ++y)
		for (int x = 0; x < 3; ++x)
		{
			const float v = static_cast<float>(x + 10 * y);
			cursor.SetPixel(x, y, Rgba(v, v, v, v));
		}
	const struct
	{
		int X, Y;
		double Sum;
		int Count;
	} means[] = {
		{0, 0, 0 + 1 + 10, 3},      // a corner: itself, right and above
		{1, 0, 1 + 0 + 2 + 11, 4},  // an edge: itself, left, right and above
		{2, 1, 12 + 11 + 2, 3},     // a corner: itself, left and below
	};
	for (const auto& m : means)
	{
		FltPixel pixel;
		cursor.GetPixel(m.X, m.Y, pixel);
		UVunwrapKernel::AverageWithNeighbours(cursor, m.X, m.Y, 3, 2, pixel);
		for (float channel : {pixel.R, pixel.G, pixel.B, pixel.A})
			EXPECT_TRUE(Same(channel, static_cast<float>(m.Sum / m.Count))) << m.X << "," << m.Y;
	}
}

TEST(Kernels, SimpleSpotlightLightsAsPowWouldWhateverTheExponent)
{
	using namespace SimpleSpotlightKernel;
	// A light 10 above the origin, aimed at it.
	const auto spot = [](double intensity, double cone) {
		const int whole = WholeExponent(cone);
		return Spot{float3(0, 0, 10), float3(0, 0, 1), intensity, cone, whole, SquaringTolerance(whole),
		            SmallestTrustedCosine(whole)};
	};
	const struct
	{
		FltPixel Position;
		float Cosine;
	} cosines[] = {
		{Rgba(0, 0, 0), 1.0f},         {Rgba(10, 0, 0), 0.70710677f}, {Rgba(3, 4, 5), 0.70710677f},
		{Rgba(0, 0, 20), 0.0f},        // behind the light
		{Rgba(0, 0, 10), 0.0f},        // at the light: no direction
		{Rgba(NaN, 0, 0), NaN},
	};
	for (const auto& c : cosines)
		EXPECT_TRUE(Same(SpotCosine(c.Position, spot(1, 1)), c.Cosine)) << c.Position.R << "," << c.Position.B;

	const struct
	{
		FltPixel Normal;
		float Term;
	} terms[] = {{Rgba(0, 0, 1), 1.0f}, {Rgba(1, 0, 0), 0.0f}, {Rgba(0, 0, -1), 0.0f}, {Rgba(0, 0, 0), 0.0f},
	             {Rgba(1, 2, 2), 0.6666667f}};
	for (const auto& t : terms)
		EXPECT_TRUE(Same(NormalTerm(t.Normal, spot(1, 1)), t.Term)) << t.Normal.R << "," << t.Normal.B;

	EXPECT_EQ(WholeExponent(7.0), 7);
	EXPECT_EQ(WholeExponent(2.5), -1);
	EXPECT_EQ(WholeExponent(-1.0), -1);
	EXPECT_EQ(WholeExponent(MaxWholeCone + 1.0), -1);
	EXPECT_EQ(WholeExponent(NaN), -1);

	// Hand-computed lights, then a whole block against pow for exponents the
	// squaring takes and ones it does not.
	PixelBlock block;
	block.Count = 2;
	const float hand[] = {0.70710677f, 0.8f};
	const float half[] = {0.5f, 0.5f};
	SetNarrowedLights(hand, nullptr, spot(3, 2), block);
	EXPECT_TRUE(Same(block.R[0], 1.5f));
	SetNarrowedLights(hand, half, spot(3, 2), block);
	EXPECT_TRUE(Same(block.A[0], 0.75f));
	SetNarrowedLights(hand, nullptr, spot(1.5, 7), block);
	EXPECT_TRUE(Same(block.G[1], 0.31457284f));
	SetNarrowedLights(hand, nullptr, spot(3, 2.5), block);
	EXPECT_TRUE(Same(block.B[0], 1.2613446f));

	block.Count = 100;
	float many[100], weights[100];
	for (int i = 0; i < block.Count; ++i)
	{
		many[i] = i < 4 ? (i == 0 ? 0.0f : i == 1 ? NaN : i == 2 ? 1.0f : 1e-30f) : 0.005f + i * 0.00995f;
		weights[i] = 0.01f * i;
	}
	// Whole exponents of every length from 0 to 13 bits, then two others.
	for (double cone : {0.0, 1.0, 2.0, 5.0, 13.0, 17.0, 33.0, 64.0, 255.0, 256.0, 1000.0, 2047.0, 2048.0, 4096.0, 0.5,
	                    40.25})
		for (const float* t : {static_cast<const float*>(nullptr), static_cast<const float*>(weights)})
		{
			// The smallest cosine the squaring takes, and the float below it.
			many[4] = SmallestTrustedCosine(std::max(WholeExponent(cone), 0));
			many[5] = std::nextafter(many[4], 0.0f);
			SetNarrowedLights(many, t, spot(2.5, cone), block);
			for (int i = 0; i < block.Count; ++i)
			{
				const double light = std::pow(static_cast<double>(many[i]), cone) * 2.5;
				const float expected = static_cast<float>(t ? light * static_cast<double>(t[i]) : light);
				EXPECT_TRUE(Same(block.R[i], expected)) << "cone " << cone << ", cosine " << many[i];
			}
		}
}

TEST(Kernels, ConvolutionSumsTapsInOrderInSinglePrecisionAndReadsTheLastColumnBeyondTheEdge)
{
	using namespace ConvolutionKernel;
	EXPECT_EQ(SampleCount(250.9), 250);
	EXPECT_EQ(SampleCount(0.5), 0);
	EXPECT_EQ(SampleCount(-3), 0);
	EXPECT_EQ(SampleCount(NaN), 0);
	EXPECT_EQ(SampleCount(1e300), MaxSamples);

	// A row of three pixels (B, G, R, A) and one tap weighing B 1, G 2, R 0.5,
	// A -1, divided by 1: each output pixel is the source pixel it reads, weighted.
	const float row[] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, NaN};
	const std::array<float, 4> k = {1.0f, 2.0f, 0.5f, -1.0f};
	const struct
	{
		int Kx;
		float Sources[3];  // the source pixel each output pixel reads
	} taps[] = {{0, {1, 2, 3}}, {1, {2, 3, 3}}, {2, {3, 3, 3}}, {7, {3, 3, 3}}};
	for (const auto& tap : taps)
	{
		const TapWeight weight = WeightOf(tap.Kx, k);
		const float* rows[] = {row};
		float out[12];
		ConvolveRow(out, rows, &weight, 1, 3, 1.0);
		for (int x = 0; x < 3; ++x)
			for (int c = 0; c < 3; ++c)
				EXPECT_TRUE(Same(out[x * 4 + c], tap.Sources[x] * k[c])) << "kx " << tap.Kx << " x " << x;
		EXPECT_TRUE(std::isnan(out[11]));  // a NaN alpha stays with its pixel
	}

	// A row of 40 pixels, wide enough for pixels summed side by side and at
	// the edge, pixel x holding x in B. Taps at kx 0 and 3 weighing 1 give
	// (x + min(x + 3, 39)) / 4 with a weight sum of 4. Three rows of 1e8, 1
	// and -1e8 summed in that order give (1e8 + 1) - 1e8 = 0 in single
	// precision (1e8 + 1 rounds to 1e8), where double would give 1.
	constexpr int Width = 40;
	std::vector<float> ramp(Width * 4, 0.0f), big(Width * 4, 1e8f), one(Width * 4, 1.0f), minusBig(Width * 4, -1e8f);
	for (int x = 0; x < Width; ++x)
		ramp[x * 4] = static_cast<float>(x);
	const std::array<float, 4> ones = {1, 1, 1, 1};
	const TapWeight pair[] = {WeightOf(0, ones), WeightOf(3, ones)}, column[] = {pair[0], pair[0], pair[0]};
	const float* rampRows[] = {ramp.data(), ramp.data()};
	const float* orderRows[] = {big.data(), one.data(), minusBig.data()};
	float shifted[Width * 4], ordered[Width * 4];
	ConvolveRow(shifted, rampRows, pair, 2, Width, 4.0);
	ConvolveRow(ordered, orderRows, column, 3, Width, 1.0);
	for (int x = 0; x < Width; ++x)
	{
		EXPECT_TRUE(Same(shifted[x * 4], (x + std::min(x + 3, Width - 1)) / 4.0f)) << x;
		EXPECT_TRUE(Same(ordered[x * 4 + 2], 0.0f)) << x;
	}

	EXPECT_TRUE(Same(Normalised(3.0f, 4.0), 0.75f));
	EXPECT_TRUE(Same(Normalised(1.0f, 3.0), 0.33333334f));  // divided in double, narrowed once
	EXPECT_TRUE(Same(Normalised(1.0f, 0.0), Inf));
	EXPECT_TRUE(Same(Normalised(0.0f, 0.0), NaN));
}

TEST(Kernels, SSAOSamplesOcclusionFromThePositionPass)
{
	using namespace SSAOKernel;
	const struct
	{
		double Value;
		int Quality;
	} qualities[] = {{4.9, 4}, {1.0, 1}, {0.5, 1}, {-3, 1}, {NaN, 1}, {1e300, INT_MAX / 4}};
	for (const auto& q : qualities)
		EXPECT_EQ(QualityOf(q.Value), q.Quality) << q.Value;

	const float2 none = SetTurn(0, 2), half = SetTurn(1, 2);  // 0 and 45 degrees
	EXPECT_EQ(none.x, 1.0);
	EXPECT_EQ(none.y, 0.0);
	EXPECT_EQ(half.x, 0.7071067811865476);
	EXPECT_EQ(half.y, 0.7071067811865475);
	const float2 same = Turned(float2(0.25, -3), none);
	EXPECT_EQ(same.x, 0.25);
	EXPECT_EQ(same.y, -3.0);

	const float3 up = getNormal(Rgba(0.5f, 0.5f, 1.0f)), flat = getNormal(Rgba(0.5f, 0.5f, 0.5f));
	EXPECT_EQ(up.x, 0.0f);
	EXPECT_EQ(up.z, 1.0f);
	EXPECT_EQ(flat.z, 0.0f);  // a zero vector stays zero
	const float2 bounced = reflect(float2(1, -1), float2(0, 1));
	EXPECT_EQ(bounced.x, 1.0);
	EXPECT_EQ(bounced.y, 1.0);

	// Two positions: the origin, and (1, 0, 1) to its right.
	Image pass(2, 1);
	PixPtr cursor(&pass);
	cursor.SetPixel(0, 0, Rgba(0, 0, 0));
	cursor.SetPixel(1, 0, Rgba(1, 0, 1));
	const PixelSampler positions(&pass);
	const float3 origin(0, 0, 0), normal(0, 0, 1);
	const struct
	{
		float2 Offset;
		double Bias, Scale, Intensity, Expected;
	} samples[] = {
		{float2(1, 0), 0.0, 1.0, 1.0, 0.2928932167371432},   // cos 45 degrees / (1 + sqrt 2)
		{float2(1, 0), 0.25, 2.0, 0.5, 0.05969903043340198},
		{float2(1, 0), 0.75, 1.0, 1.0, 0.0},                 // facing away after the bias
		{float2(0, 0), 0.0, 1.0, 1.0, 0.0},                  // itself: no direction
		{float2(5, 3), 0.0, 1.0, 1.0, 0.2928932167371432},   // beyond the edge: the edge pixel
		{float2(NaN, 0), 0.0, 1.0, 1.0, 0.0},                // a NaN position reads pixel 0
	};
	for (const auto& c : samples)
		EXPECT_EQ(doAmbientOcclusion(float2(0, 0), c.Offset, origin, normal, positions, c.Bias, c.Scale, c.Intensity),
		          c.Expected)
			<< c.Offset.x << "," << c.Offset.y;

	float ao = 0.1f;
	Accumulate(ao, 0.2);
	EXPECT_EQ(ao, 0.3f);
}

TEST(Kernels, DirtyDofBlursByTheThinLensCircle)
{
	using namespace DirtyDofKernel;
	EXPECT_TRUE(Same(MeanDepth(Rgba(0.1f, 0.2f, 0.3f)), 0.2f));  // ((R + G) + B) / 3 in single precision
	EXPECT_TRUE(Same(MeanDepth(Rgba(Inf, -Inf, 0)), NaN));

	// (f / N) f = 1000, focus at 2 m (F = 2000 mm), F - f = 1900, c = 0.02 mm.
	const LensBlur lens{1000, 2000, 1900, 0.02};
	const struct
	{
		float Z;
		double Diameter;
	} depths[] = {{1, 0.5263157894736842}, {2, 0.0}, {-4, 0.2631578947368421}, {0, Inf}, {NaN, NaN}};
	for (const auto& d : depths)
	{
		const double diameter = BlurDiameter(d.Z, lens);
		EXPECT_TRUE(std::isnan(d.Diameter) ? std::isnan(diameter) : diameter == d.Diameter) << d.Z;
	}
	EXPECT_EQ(BlurRadius(1, lens), 13.157894736842104);  // (b / c) / 2

	// Each generator result picks its axis' offset: -1 below 100 (mod 200), 0 from 100.
	const struct
	{
		int R1, R2, Target;
	} draws[] = {{150, 150, 0}, {150, 50, 1}, {50, 150, 2}, {50, 50, 3}, {199, 250, 1}, {200, 100, 2}};
	for (const auto& d : draws)
		EXPECT_EQ(DrawTarget(d.R1, d.R2), d.Target) << d.R1 << "," << d.R2;

	// A radius reaches across the offsets it exceeds: 15 pixels left, 15 down, 15√2 diagonally.
	const struct
	{
		double Radius;
		int Reached;
	} radii[] = {{15.0, 0}, {15.000000000000002, 0b0110}, {21.213203435596427, 0b0110},
	             {21.21320343559643, 0b1110}, {Inf, 0b1110}, {NaN, 0}, {-20.0, 0}};
	for (const auto& r : radii)
		EXPECT_EQ(ReachedOffsets(r.Radius), r.Reached) << r.Radius;

	const Neighbour near{5.0f, true, {}, false};
	EXPECT_TRUE(TakesDraw(near, false, 0.0));
	EXPECT_TRUE(TakesDraw(near, true, 6.0));
	EXPECT_FALSE(TakesDraw(near, true, 4.0));  // behind the pixel in a depth-tested pass
	EXPECT_FALSE(TakesDraw({5.0f, false, {}, false}, false, 0.0));  // its blur does not reach

	// Positive alphas weigh; the sums are divided only by a weight above 0.
	ColourSum sum(Rgba(0.1f, 0.2f, 0.3f, -0.5f));
	sum.Add(Bgra{1, 1, 1, 1});
	sum.Add(Bgra{0, 0, 0, -1});
	FltPixel out;
	sum.WriteTo(out);
	EXPECT_TRUE(Same(out.R, 2.2f));  // (0.1 + 1) / 0.5
	EXPECT_TRUE(Same(out.A, -1.0f));
	ColourSum unweighted(Rgba(0.1f, 0.2f, 0.3f, 0.0f));
	unweighted.WriteTo(out);
	EXPECT_TRUE(Same(out.G, 0.2f));
}

TEST(Kernels, UVpositionerReadsTheTextureWhereTheSampleModeSays)
{
	using namespace UVpositionerKernel;
	EXPECT_EQ(ChosenMode("Black"), SampleMode::Black);
	EXPECT_EQ(ChosenMode("Wrap"), SampleMode::Wrap);
	EXPECT_EQ(ChosenMode("Duplicate"), SampleMode::Duplicate);
	EXPECT_EQ(ChosenMode("Mirror"), SampleMode::None);
	EXPECT_EQ(TexturePosition(0.25, 0.5, 2.0, 10.0), 15.0);  // ((c + offset) * scale) * size

	const struct
	{
		double P;
		SampleMode Mode;
		double Pixel;
	} pixels[] = {
		{2.9, SampleMode::Black, 2},        {-0.5, SampleMode::Black, -0.0},  // toward zero
		{40000, SampleMode::Black, 4},      {-40000, SampleMode::Duplicate, -1},
		{40001, SampleMode::Wrap, 1},       {Inf, SampleMode::Wrap, 0},
		{NaN, SampleMode::Black, -1},       {NaN, SampleMode::Wrap, 0},
	};
	for (const auto& p : pixels)
		EXPECT_EQ(SampledPixel(p.P, 4, p.Mode), p.Pixel) << p.P;

	// A 2 x 2 texture whose pixel (x, y) is x + 2 y + 1 in R; both ways of
	// reading it give the same samples.
	Image texture(2, 2);
	PixPtr cursor(&texture);
	for (int y = 0; y < 2; ++y)
		for (int x = 0; x < 2; ++x)
			cursor.SetPixel(x, y, Rgba(static_cast<float>(x + 2 * y + 1), 0, 0, 1));
	const PixelSampler plain(&texture);
	const struct
	{
		SampleMode Mode;
		double U, V;
		float R;
	} samples[] = {
		{SampleMode::Black, 1.5, 1.5, 4}, {SampleMode::Black, 2.5, 0, 0},   {SampleMode::Wrap, 2.5, 0, 1},
		{SampleMode::Wrap, -0.5, 1, 3},   {SampleMode::Duplicate, 7, -3, 2},
	};
	for (const auto& c : samples)
		for (const PixelSampler* fast : {&plain, static_cast<const PixelSampler*>(nullptr)})
		{
			FltPixel sample = Rgba(9, 9, 9, 9);
			SampleTexture(texture, fast, c.Mode, c.U, c.V, sample);
			EXPECT_EQ(sample.R, c.R) << c.U << "," << c.V << (fast ? " plain" : " sampled");
		}

	// A block of UV pixels reads, pixel by pixel, what SampleTexture reads
	// there, weighted by the UV alpha, in every mode: positions inside and
	// outside, beyond fixed point, not a number; alpha 0, -0, negative, NaN.
	const struct
	{
		float U, V, Alpha;
	} uvs[] = {
		{0.75f, 0.75f, 1},    {0.25f, 0.0f, 0.5f}, {1.25f, -0.5f, 1}, {-0.75f, 2.5f, 2},   {100000.25f, 0.5f, 1},
		{0.5f, -1000000.5f, 1},     {NaN, 0.5f, 1},      {0.5f, Inf, 1},    {-Inf, NaN, 1},      {0.75f, 0.25f, 0},
		{0.75f, 0.25f, -0.0f}, {0.25f, 0.75f, -1}, {0.25f, 0.25f, NaN}, {0.75f, 0.75f, Inf},
	};
	const Placement placement{{false, false, false}, 0.0, 0.0, 2.0, 1.0, 2.0, 2.0};
	for (SampleMode mode : {SampleMode::Black, SampleMode::Wrap, SampleMode::Duplicate, SampleMode::None})
	{
		PixelBlock block;
		block.Count = static_cast<int>(std::size(uvs));
		for (int i = 0; i < block.Count; ++i)
			block.Set(i, Rgba(uvs[i].U, uvs[i].V, 0, uvs[i].Alpha));
		SampleBlock(plain, mode, placement, block);
		for (int i = 0; i < block.Count; ++i)
		{
			FltPixel expected;
			if (mode != SampleMode::None && uvs[i].Alpha != 0.0f)
				SampleTexture(texture, nullptr, mode, TexturePosition(uvs[i].U, 0.0, 2.0, 2.0),
				              TexturePosition(uvs[i].V, 0.0, 1.0, 2.0), expected);
			WeightByAlpha(expected, uvs[i].Alpha);
			for (const auto& [got, want] : {std::pair{block.B[i], expected.B}, {block.G[i], expected.G},
			                                {block.R[i], expected.R}, {block.A[i], expected.A}})
				EXPECT_TRUE(Same(got, want)) << "pixel " << i << ", mode " << static_cast<int>(mode);
		}
	}

	FltPixel weighted = Rgba(2, 4, 8, 1);
	WeightByAlpha(weighted, 0.5f);
	EXPECT_EQ(weighted.R, 1.0f);
	EXPECT_EQ(weighted.B, 4.0f);
	EXPECT_EQ(weighted.A, 0.5f);
}
