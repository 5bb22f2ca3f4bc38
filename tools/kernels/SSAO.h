#pragma once
// SSAO's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_SSAO.cpp; declared here for tests on raw values.
#include "Image.h"
#include "PixelSampler.h"
#include "Vectors.h"

namespace SSAOKernel
{
int QualityOf(double value);
float2 SetTurn(int set, int quality);
float2 Turned(const float2& d, const float2& turn);
float3 getNormal(const FltPixel& pixel);
float2 reflect(float2 i, float2 n);
double Occlusion(const float3& q, const float3& p, const float3& cnorm, double bias, double scale, double intensity);
double doAmbientOcclusion(float2 tcoord, float2 offset, float3 p, float3 cnorm, const PixelSampler& positions,
                          double bias, double scale, double intensity);
void Accumulate(float& ao, double sample);
}
