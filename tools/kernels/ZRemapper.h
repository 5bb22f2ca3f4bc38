#pragma once
// ZRemapper's per-pixel arithmetic, defined with its formulas in
// QZ_Tools.cpp; declared here for tests on raw values.
#include "Image.h"

namespace ZRemapperKernel
{
/// The zone of acceptable focus in scaled scene units, as the remap sees it.
struct FocusZone
{
	double Scale;  // S
	double Plane;  // P = |plane of focus / S|
	double Near;
	double Far;    // raw: negative when the far limit lies at infinity
	double Reciprocal = 0.0;  // ExactReciprocal(S)
};

double ExactReciprocal(double scale);
double ScaledDepth(float v, const FocusZone& zone, bool byReciprocal);
float DistanceOutsideZone(double signedDepth, double limit, const FocusZone& zone);
void RemapPixel(FltPixel& pixel, const FocusZone& zone, bool byReciprocal = false);
}
