#pragma once
// ClipMotionVectors' per-pixel arithmetic, defined with its formulas in
// QZ_Tools_ClipMotionVectors.cpp; declared here for tests on raw values.
#include "FuID.h"
#include "Image.h"

namespace ClipMotionVectorsKernel
{
/// What happens to a vector at least as long as the maximum.
enum class ClipMode
{
	Clip,     // keeps its direction, gets the length max length x multiplier
	Devide,   // keeps its direction, gets the length multiplier
	Disable,  // becomes zero
	Keep,     // a choice that is none of the buttons: stays as it is
};

ClipMode ModeOf(const FuID& choice);
float VectorLength(const FltPixel& p);
float ClipChannel(float c, double len, double maxLength, double multiplier);
float DevideChannel(float c, double len, double multiplier);
void ClipVector(FltPixel& p, double maxLength, double multiplier);
void DevideVector(FltPixel& p, double maxLength, double multiplier);
void DisableVector(FltPixel& p, double maxLength);
}
