#pragma once
// How the UV tools read a texture position from a pixel of a UV pass.
#include "Image.h"

/// The "Swap UV", "Flip X" and "Flip Y" check boxes; a value other than 0 is on.
struct UVOptions
{
	bool Swap, FlipX, FlipY;
};

/// A texture position in texture units: 0 and 1 are the texture's edges.
struct UVPosition
{
	double U, V;
};

/// (u, v) = (R, G), or (G, R) when swapped, widened to double; then
/// u = 1 - u when x is flipped and v = 1 - v when y is flipped.
inline UVPosition ReadUV(const FltPixel& uv, const UVOptions& options)
{
	double u = options.Swap ? uv.G : uv.R;
	double v = options.Swap ? uv.R : uv.G;
	if (options.FlipX)
		u = 1.0 - u;
	if (options.FlipY)
		v = 1.0 - v;
	return {u, v};
}
