#include "FuID.h"

FuID::FuID(const char* text, bool /*isStatic*/) : Text(text ? text : "")
{
}

bool FuID::operator==(const char* text) const
{
	return text && Text == text;
}
