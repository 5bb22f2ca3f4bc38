#pragma once
// The intensity map of the relighting tools: one value per pixel, read from
// the channel a "Multiply By Channel" button row names.
#include "Image.h"
#include "Operator.h"

/// Reads the map value of one pixel, each channel widened to double.
using MapReader = double (*)(const FltPixel& map);

inline double MapRed(const FltPixel& map) { return map.R; }
inline double MapGreen(const FltPixel& map) { return map.G; }
inline double MapBlue(const FltPixel& map) { return map.B; }
inline double MapAlpha(const FltPixel& map) { return map.A; }
/// (R + G + B) / 3.0: the plain mean of the colour channels, not a weighted luma.
inline double MapLuminance(const FltPixel& map)
{
	return (static_cast<double>(map.R) + map.G + map.B) / 3.0;
}

/// The reader of a channel choice, compared with "Red", "Green", "Blue",
/// "Alpha", "Luminance" in that order; null when it is none of them.
/// Resolved once per request so that no pixel compares texts.
inline MapReader MapChannelReader(const FuID& channel)
{
	if (channel == "Red")
		return MapRed;
	if (channel == "Green")
		return MapGreen;
	if (channel == "Blue")
		return MapBlue;
	if (channel == "Alpha")
		return MapAlpha;
	if (channel == "Luminance")
		return MapLuminance;
	return nullptr;
}
