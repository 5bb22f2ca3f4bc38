// Stereo input switch: hands on the left-eye or the right-eye image of a
// stereo pair, as chosen by a two-button row. The chosen image itself becomes
// the output; no pixel is read or copied.
#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"

class StereoSwitch : public ThreadedOperator
{
public:
	StereoSwitch(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~StereoSwitch() override = default;
	int SizeOf() override { return sizeof(StereoSwitch); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InChoice, *InLeftImage, *InRightImage;
	Output* OutImage;

	static const std::vector<InputDecl<StereoSwitch>>& Declarations();
	void HandOn(Request* request, Input* imageInput);
};

using namespace Attr;

const std::vector<InputDecl<StereoSwitch>>& StereoSwitch::Declarations()
{
	static const std::vector<InputDecl<StereoSwitch>> inputs = {
		{&StereoSwitch::InLabel, "Stereo Input Switch", "StereoSwitch", LabelTags()},
		{&StereoSwitch::InChoice, "Input", "Input",
		 {{DataType, CLSID_DataType_FuID}, {Control, CLSID_InputControl_MultiButtonID}, {Flag0000, 1},
		  {ButtonText, "Left"}, {ButtonText, "Right"}, {ButtonFlag, 1}, {DefaultId, "Left"}}},
		{&StereoSwitch::InLeftImage, "Left Image", "LeftImage", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 0}}},
		{&StereoSwitch::InRightImage, "Right Image", "RightImage",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 0}}},
	};
	return inputs;
}

StereoSwitch::StereoSwitch(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &StereoSwitch::OutImage);
}

/// Sets the image of `imageInput` itself on the output, with the extra use
/// the output holds; sets nothing when the input is not connected.
void StereoSwitch::HandOn(Request* request, Input* imageInput)
{
	Image* image = ImageValue(imageInput, request);
	if (!image)
		return;
	image->Use();
	OutImage->Set(request, image, nullptr);
}

void StereoSwitch::Process(Request* request)
{
	const FuID choice = ChoiceValue(InChoice, request);
	// Two separate tests: a choice that is neither button sets no output.
	if (choice == "Left")
		HandOn(request, InLeftImage);
	if (choice == "Right")
		HandOn(request, InRightImage);
}

QZ_REGISTER_TOOL(StereoSwitch, "Korvane.StereoSwitch",
                 {"StereoSwitch", "QZ_Tools\\Stereo", "StereoSwitch", "StereoSwitch", IconDissolve, true, true});
