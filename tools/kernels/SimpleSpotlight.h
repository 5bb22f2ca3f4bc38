#pragma once
// SimpleSpotlight's per-pixel arithmetic, defined with its formulas in
// QZ_Tools_SimpleSpotlight.cpp; declared here for tests on raw values.
#include "Image.h"
#include "PixelWalk.h"
#include "Vectors.h"

namespace SimpleSpotlightKernel
{
/// What every pixel of a request shares.
struct Spot
{
	float3 LightPos;  // the light's position, narrowed to single precision
	float3 Axis;      // unit vector from the target towards the light; zero when they coincide
	double Intensity;
	double Cone;      // the cosine's exponent
	int WholeCone;    // the exponent when it is a whole number 0 .. MaxWholeCone, else -1
	double Tolerance; // how far, relatively, pow's light may lie from the squared one
	float MinCosine;  // the smallest cosine whose squared power is trusted
};

constexpr int MaxWholeCone = 4096;

int WholeExponent(double cone);
double SquaringTolerance(int n);
float SmallestTrustedCosine(int n);
float SpotCosine(const FltPixel& position, const Spot& spot);
float NormalTerm(const FltPixel& normal, const Spot& spot);
void SetNarrowedLights(const float* cosines, const float* terms, const Spot& spot, PixelBlock& block);
}
