#pragma once
// UVunwrap's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_UVunwrap.cpp; declared here for tests on raw values.
#include "Image.h"

namespace UVunwrapKernel
{
double TargetPosition(double c, double size);
void AverageWithNeighbours(PixPtr& image, int x, int y, int width, int height, FltPixel& pixel);
void Place(PixPtr& out, double u, double v, double width, double height, bool block, const FltPixel& pixel);
}
