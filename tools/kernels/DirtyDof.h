#pragma once
// DirtyDOF's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_DirtyDof.cpp; declared here for tests on raw values.
#include <cstdint>

#include "Image.h"
#include "PixelSampler.h"

namespace DirtyDofKernel
{
/// What the blur size of a depth depends on, fixed for one request.
struct LensBlur
{
	double LensFactor;         // (f / N) * f
	double FocusDistance;      // F = |plane of focus| * 1000, mm
	double FocusLessFocal;     // F - f, mm
	double PermissibleCircle;  // c, mm
};

/// The running sum of one blurred pixel: R, G, B, A in single precision and
/// the weight, the sum of the positive alphas, in double.
struct ColourSum
{
	float R, G, B, A;
	double Weight;

	explicit ColourSum(const FltPixel& own);
	void Add(const Bgra& q);
	void WriteTo(FltPixel& out) const;
};

/// A pixel a draw can land on, as the pixel being blurred sees it.
struct Neighbour
{
	float Depth;             // zs
	bool Reaches;            // r(zs) > the distance of the draw's offset
	Bgra Colour;
	bool HasColour = false;  // Colour is sampled the first time a draw takes it
};

std::uint8_t DrawTarget(int r1, int r2);
float MeanDepth(const FltPixel& pixel);
double BlurDiameter(float z, const LensBlur& lens);
double BlurRadius(float z, const LensBlur& lens);
std::uint8_t ReachedOffsets(double radius);
bool TakesDraw(const Neighbour& n, bool depthTested, double zc);
}
