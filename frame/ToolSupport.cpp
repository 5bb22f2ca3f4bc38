#include "ToolSupport.h"

#include <climits>
#include <cmath>

#include "PixelSampler.h"

int TruncateToInt(double v)
{
	if (std::isnan(v))
		return 0;
	if (v <= INT_MIN)
		return INT_MIN;
	if (v >= INT_MAX)
		return INT_MAX;
	return static_cast<int>(v);
}

int FixedPoint(double pixel)
{
	return WholePixelOf(pixel) * 65536;
}

Image* NewImageLike(Image* model)
{
	TagWord words[] = {Attr::ModelImage, TagFromPointer(model), 0};
	return NewImageTagList(TagList(words, false));
}

void SetReadout(Input* input, double value)
{
	AutoNumber number(value);
	input->SetSource(number, 1, nullptr, 0.0);
}
