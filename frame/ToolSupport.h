#pragma once
// What every tool's Process uses: reading values, making its output image,
// writing read-outs back to its page.
#include "Image.h"
#include "Operator.h"
#include "PixelWalk.h"

/// The value of a Number input for the request.
inline double NumberValue(Input* input, Request* request)
{
	return *static_cast<Number*>(input->GetValue(request, 0));
}

/// The chosen button of a button row for the request.
inline FuID ChoiceValue(Input* input, Request* request)
{
	return *static_cast<FuIDParam*>(input->GetValue(request, 0));
}

/// The image of an image input for the request, or null when unconnected.
inline Image* ImageValue(Input* input, Request* request)
{
	return input->GetValue<Image*>(request, 0);
}

/// min(v, 1.0), then max(result, 0.0), each keeping its first argument when
/// the comparison fails, so a NaN passes through.
inline double ClampToUnit(double v)
{
	v = v > 1.0 ? 1.0 : v;
	return v < 0.0 ? 0.0 : v;
}

/// `v` truncated toward zero and saturated to the int range; NaN gives 0.
int TruncateToInt(double v);

/// A whole-pixel coordinate in the samplers' 16.16 fixed point: `pixel`
/// truncated toward zero, limited to the pixels an int holds there
/// (-32768 .. 32767, so anything beyond still lies outside any image it can
/// address), times 65536. NaN gives pixel 0.
int FixedPoint(double pixel);

/// A new image with the size, format and channels of `model`.
Image* NewImageLike(Image* model);

/// Shows `value` in a read-out input of the tool's own page, set at time 0.
void SetReadout(Input* input, double value);
