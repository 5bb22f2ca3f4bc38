#include "qz/core/HardLimits.h"

namespace
{
struct Limit
{
	const char* ClassId;
	const char* InputId;
	int Maximum;
};

// The work of every pixel grows with the value.
const Limit Limits[] = {
	{"Korvane.Convolution", "Samples", 50000},  // kernel taps; the slider reaches 2500
	{"Korvane.DirtyDof", "cSamples", 10000},    // draws a pass; the slider reaches 500
	{"Korvane.SSAO", "Quality", 320},           // sets of 16 samples; the slider reaches 16
};
}

std::optional<int> HardLimit(const Registry* tool, const std::string& inputId)
{
	for (const Limit& limit : Limits)
		if (tool->ID() == limit.ClassId && inputId == limit.InputId)
			return limit.Maximum;
	return std::nullopt;
}
