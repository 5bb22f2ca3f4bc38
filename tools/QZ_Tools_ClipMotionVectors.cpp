// Motion vector clipper: limits the length of the motion vectors stored in red,
// green and blue (x, y, z). Vectors shorter than "Max Vector Length" pass
// unchanged; longer ones are shortened to it, set to unit length or zeroed,
// and the changed ones are scaled by "Additional Multiplier".
#include <cmath>

#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/ClipMotionVectors.h"

class ClipMotionVectors : public ThreadedOperator
{
public:
	ClipMotionVectors(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~ClipMotionVectors() override = default;
	int SizeOf() override { return sizeof(ClipMotionVectors); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InMaxLength, *InMultiplier, *InClipMode, *InImage;
	Output* OutImage;

	static const std::vector<InputDecl<ClipMotionVectors>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<ClipMotionVectors>>& ClipMotionVectors::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, slider{Control, CLSID_InputControl_Slider};
	static const std::vector<InputDecl<ClipMotionVectors>> inputs = {
		{&ClipMotionVectors::InLabel, "Clip Motion Vectors", "ClipMotionVectors", LabelTags()},
		{&ClipMotionVectors::InMaxLength, "Max Vector Length", "MaxLenght",
		 {number, slider, {RangeLow, 0.0}, {RangeHighAlt, 250.0}, {Default, 50.0}}},
		{&ClipMotionVectors::InClipMode, "Clip Mode", "ClipMode",
		 {{DataType, CLSID_DataType_FuID}, {Control, CLSID_InputControl_MultiButtonID}, {ButtonText, "Clip"},
		  {ButtonText, "Devide"}, {ButtonText, "Disable"}, {ButtonFlag, 1}, {DefaultId, "Clip"}}},
		{&ClipMotionVectors::InMultiplier, "Additional Multiplier", "AddMult", {number, slider, {RangeLow, 0.0}, {Default, 1.0}}},
		{&ClipMotionVectors::InImage, "Image", "Image", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
	};
	return inputs;
}

ClipMotionVectors::ClipMotionVectors(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &ClipMotionVectors::OutImage);
}

namespace ClipMotionVectorsKernel
{
/// The chosen button, tested in the order "Clip", "Devide", "Disable".
ClipMode ModeOf(const FuID& choice)
{
	if (choice == "Clip")
		return ClipMode::Clip;
	if (choice == "Devide")
		return ClipMode::Devide;
	if (choice == "Disable")
		return ClipMode::Disable;
	return ClipMode::Keep;
}

/// Length of the vector in red, green and blue: sqrtf(r*r + g*g + b*b), all
/// in single precision.
float VectorLength(const FltPixel& p)
{
	return std::sqrt(p.R * p.R + p.G * p.G + p.B * p.B);
}

/// Clip: c / len * maxLength * multiplier, in double, narrowed to float.
float ClipChannel(float c, double len, double maxLength, double multiplier)
{
	return static_cast<float>(c / len * maxLength * multiplier);
}

/// Devide: c / len * multiplier, in double, narrowed to float.
float DevideChannel(float c, double len, double multiplier)
{
	return static_cast<float>(c / len * multiplier);
}

/// The changes of a vector at least `maxLength` long (or of NaN length), per
/// mode; shorter vectors, alpha and the other channels are kept. A vector of
/// length 0 (reached only with a max length of 0 or less) has no direction
/// to keep, so Clip and Devide leave it as it is instead of dividing by zero.
void ClipVector(FltPixel& p, double maxLength, double multiplier)
{
	const double len = VectorLength(p);
	if (maxLength > len || len == 0.0)
		return;
	p.R = ClipChannel(p.R, len, maxLength, multiplier);
	p.G = ClipChannel(p.G, len, maxLength, multiplier);
	p.B = ClipChannel(p.B, len, maxLength, multiplier);
}

void DevideVector(FltPixel& p, double maxLength, double multiplier)
{
	const double len = VectorLength(p);
	if (maxLength > len || len == 0.0)
		return;
	p.R = DevideChannel(p.R, len, multiplier);
	p.G = DevideChannel(p.G, len, multiplier);
	p.B = DevideChannel(p.B, len, multiplier);
}

void DisableVector(FltPixel& p, double maxLength)
{
	if (maxLength > VectorLength(p))
		return;
	p.R = p.G = p.B = 0.0f;
}
}

using namespace ClipMotionVectorsKernel;

void ClipMotionVectors::Process(Request* request)
{
	const double multiplier = NumberValue(InMultiplier, request);
	const double maxLength = NumberValue(InMaxLength, request);
	Image* input = ImageValue(InImage, request);
	if (!input)
		return;
	Image* output = NewImageLike(input);
	const ClipMode mode = ModeOf(ChoiceValue(InClipMode, request));
	// No clearing first: the walk below writes every pixel of the new image,
	// so a Fill would only add a full pass over it.

	// One walk per mode, so that no pixel tests the mode.
	switch (mode)
	{
	case ClipMode::Clip:
		MapPixels(input, output, [&](FltPixel& pixel) { ClipVector(pixel, maxLength, multiplier); });
		break;
	case ClipMode::Devide:
		MapPixels(input, output, [&](FltPixel& pixel) { DevideVector(pixel, maxLength, multiplier); });
		break;
	case ClipMode::Disable:
		MapPixels(input, output, [&](FltPixel& pixel) { DisableVector(pixel, maxLength); });
		break;
	case ClipMode::Keep:
		MapPixels(input, output, [](FltPixel&) {});
		break;
	}
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(ClipMotionVectors, "Korvane.ClipMotionVectors",
                 {"ClipMotionVectors", "QZ_Tools\\Misc", "ClipMotionVectors", "ClipMotionVectors", IconDissolve, {}, {}});
