#include "PixelSampler.h"

PixelSampler::PixelSampler(const Image* image) : Width(image->Width), Height(image->Height), Bytes(image->Data())
{
	if (image->IsPlainFloatRGBA())
		return;
	Converted.resize(image->PixelCount());
	FltPixel pixel;
	for (size_t i = 0; i < Converted.size(); ++i)
	{
		image->ReadPixel(i, pixel);
		Converted[i] = {pixel.B, pixel.G, pixel.R, pixel.A};
	}
	Bytes = reinterpret_cast<const uint8_t*>(Converted.data());
}
