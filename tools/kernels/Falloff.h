#pragma once
// Falloff's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_Fallof.cpp; declared here for tests on raw values.
#include "Image.h"

namespace FalloffKernel
{
double FalloffMask(const FltPixel& normal, double len, double intensity);
void ShadeFalloff(FltPixel& normal, double intensity);
}
