#pragma once
// UVpositioner's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_UVpositioner.cpp; declared here for tests on raw values.
#include "FuID.h"
#include "Image.h"
#include "PixelSampler.h"

namespace UVpositionerKernel
{
/// What a texture position outside the texture reads ("Sample Mode"); None
/// for a choice that is none of the buttons: nothing is read.
enum class SampleMode
{
	None,
	Black,
	Wrap,
	Duplicate,
};

SampleMode ChosenMode(const FuID& choice);
double TexturePosition(double c, double offset, double scale, double size);
double SampledPixel(double p, double size, SampleMode mode);
void SampleTexture(const Image& texture, const PixelSampler* plainTexture, SampleMode mode, double u, double v,
                   FltPixel& sample);
void WeightByAlpha(FltPixel& sample, float alpha);
}
