#pragma once
// Convolution's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_Convolution.cpp; declared here for tests on raw values.
#include <array>

namespace ConvolutionKernel
{
/// Most taps fast mode takes per pixel: far beyond the slider's 2500, and it
/// bounds the tap list a scripted count can ask for (8 bytes a tap).
constexpr int MaxSamples = 1 << 20;

int SampleCount(double samples);
void AddTap(float* sum, const float* row, int width, int kx, const std::array<float, 4>& k);
float Normalised(float sum, double weightSum);
}
