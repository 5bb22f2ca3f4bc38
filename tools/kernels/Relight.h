#pragma once
// IntuitiveRelighter's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_Relight.cpp; declared here for tests on raw values.
#include "Image.h"

namespace RelightKernel
{
struct Light
{
	double X, Y, Z;
};

/// Which radius a map scales, from the "Map Function" choice.
enum class MapTarget
{
	Reach,  // "Intensity"
	Size,   // "Size"
	None,   // any other text: the map changes nothing
};

/// The ramp of size S and reach I: its slope k = 1 / (S - I), and I.
struct Ramp
{
	Ramp(double size, double reach) : Slope(1.0 / (size - reach)), Reach(reach) {}

	double Slope;
	double Reach;
};

double RampPosition(double dist, const Ramp& ramp);
void ShadeRelight(FltPixel& pixel, const Light& light, const Ramp& ramp);
}
