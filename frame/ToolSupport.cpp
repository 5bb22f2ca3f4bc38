#include "ToolSupport.h"

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
