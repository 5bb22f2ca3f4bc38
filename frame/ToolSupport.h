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

// What a tool does with the images it is given:
// - Without its main image, or without another image its arithmetic cannot
//   do without, a tool sets no output, and the host says which is missing.
// - An optional map read pixel for pixel beside the main image (Falloff's
//   and Relight's intensity map, SimpleSpotlight's normal pass): without it
//   the tool works from its controls alone; of another size it has no pixel
//   to give each output pixel, so the output, at the main image's size, is
//   cleared to (0, 0, 0, 0). `RenderWithMap` applies this.
// - Images a tool samples by coordinates take any size: SSAO's passes,
//   UVpositioner's texture, Convolution's kernel.
// Where a tool's arithmetic needs another rule, it departs from these:
// - DirtyDOF sets no output when its depth pass is narrower or lower than the
//   colour image, because every colour pixel reads the depth beneath it; a
//   larger pass is read at the colour image's pixels.
// - UVunwrap needs its UV pass, and clears its output like a map of another
//   size when the pass and the image differ in size.

/// Renders `output` by `plain()` when `map` is absent, by `withMap()` when
/// it has the size of `main`, and otherwise clears it (see above).
template <class Plain, class WithMap>
void RenderWithMap(const Image* main, const Image* map, Image* output, Plain plain, WithMap withMap)
{
	if (!map)
		plain();
	else if (map->Width == main->Width && map->Height == main->Height)
		withMap();
	else
		output->Fill(0, 0, 0, 0);
}

/// Shows `value` in a read-out input of the tool's own page, set at time 0.
void SetReadout(Input* input, double value);
