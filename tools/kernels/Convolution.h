#pragma once
// Convolution's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_Convolution.cpp; declared here for tests on raw values.
#include <array>
#include <cstddef>

namespace ConvolutionKernel
{
/// Most taps fast mode takes per pixel: far beyond the slider's 2500, and it
/// bounds the tap lists a scripted count can ask for (some 50 bytes a tap,
/// with its weights and the source row each row of the output reads).
constexpr int MaxSamples = 1 << 20;

/// Most kernel pixels times frame pixels the exact filter takes: some
/// minutes on two cores, as fast mode's most samples are over a 4K frame.
constexpr double MaxExactWork = 1e12;

/// One kernel pixel as a row of the output takes it: the kernel column and
/// the pixel's B, G, R, A twice over, to weigh two source pixels at once.
struct TapWeight
{
	float K[8];
	int Kx;
};

int SampleCount(double samples);
TapWeight WeightOf(int kx, const std::array<float, 4>& k);
float Normalised(float sum, double weightSum);
void ConvolveRow(float* out, const float* const* rows, const TapWeight* taps, size_t tapCount, int width,
                 double weightSum);
}
