// Depth-of-field calculator: from focal length, focus distance, film back and
// f-stop, shows the frame aspect, circle of confusion, hyperfocal distance and
// the near and far limits of focus on its page; passes its image on unchanged.
#include <cmath>

#include "Declarations.h"
#include "DepthOfField.h"
#include "DepthOfFieldPage.h"
#include "Registration.h"
#include "ToolSupport.h"

class FoCalc : public ThreadedOperator
{
public:
	FoCalc(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~FoCalc() override = default;
	int SizeOf() override { return sizeof(FoCalc); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InCameraLabel, *InFocalLength, *InPlaneOfFocus, *InApertureWidth, *InApertureHeight, *InFstop;
	Input *InOutputLabel, *InFrameAspect, *InCoC, *InHyperFocal, *InInfoLabel, *InDoFNear, *InDoFFar, *InDoFTotal;
	Input* InImage;
	Output* OutImage;

	static const std::vector<InputDecl<FoCalc>>& Declarations();
	friend struct DepthOfFieldPage<FoCalc>;
};

using namespace Attr;

const std::vector<InputDecl<FoCalc>>& FoCalc::Declarations()
{
	static const std::vector<InputDecl<FoCalc>> inputs = DepthOfFieldPage<FoCalc>::Declarations(
		{}, {{Control, CLSID_InputControl_Slider}, {RangeLow, 0.0}}, "Calculated DoF Output");
	return inputs;
}

FoCalc::FoCalc(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &FoCalc::OutImage);
}

void FoCalc::Process(Request* request)
{
	CameraSettings camera;
	camera.PlaneOfFocus = std::fabs(NumberValue(InPlaneOfFocus, request));
	camera.ApertureWidth = NumberValue(InApertureWidth, request);
	camera.ApertureHeight = NumberValue(InApertureHeight, request);
	camera.Fstop = NumberValue(InFstop, request);
	camera.FocalLength = NumberValue(InFocalLength, request);

	const DepthOfField dof = ComputeDepthOfField(camera);
	ShowDepthOfField(dof, {InFrameAspect, InCoC, InHyperFocal, InDoFNear, InDoFFar, InDoFTotal});

	Image* input = ImageValue(InImage, request);
	if (!input)
		return;
	Image* output = NewImageLike(input);
	MapPixels(input, output, [](FltPixel&) {});  // every pixel copied unchanged
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(FoCalc, "Korvane.FoCalc",
                 {"FoCalc", "QZ_Tools\\DofTools", "FoCalc", "Depth Of Field Calculator Tool", IconBrightness, true, true});
