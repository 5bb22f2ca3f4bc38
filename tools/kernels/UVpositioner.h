#pragma once
// UVpositioner's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_UVpositioner.cpp; declared here for tests on raw values.
#include "FuID.h"
#include "Image.h"
#include "PixelSampler.h"
#include "PixelWalk.h"
#include "UVCoordinates.h"

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

/// Where the pixels of a render read the texture: the check boxes, the
/// offsets and scales, and the texture's size in pixels.
struct Placement
{
	UVOptions Options;
	double XOffset, YOffset, UScale, VScale;
	double Width, Height;
};

SampleMode ChosenMode(const FuID& choice);
double TexturePosition(double c, double offset, double scale, double size);
double SampledPixel(double p, double size, SampleMode mode);
void SampleTexture(const Image& texture, const PixelSampler* plainTexture, SampleMode mode, double u, double v,
                   FltPixel& sample);
void WeightByAlpha(FltPixel& sample, float alpha);
void SampleBlock(const PixelSampler& texture, SampleMode mode, const Placement& placement, PixelBlock& block);
}
