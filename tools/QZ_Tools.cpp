// Z depth remapper: turns a depth pass into the distance by which each pixel
// lies outside the zone of acceptable focus (0 inside it), and shows the
// camera's depth of field on its page. "Scene Scale" divides the plane of
// focus and the depths, for scenes not modelled in metres.
#include <cmath>

#include "Declarations.h"
#include "DepthOfField.h"
#include "DepthOfFieldPage.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/ZRemapper.h"

class ZRemapper : public ThreadedOperator
{
public:
	ZRemapper(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~ZRemapper() override = default;
	int SizeOf() override { return sizeof(ZRemapper); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InCameraLabel, *InSceneScale, *InFocalLength, *InPlaneOfFocus, *InApertureWidth, *InApertureHeight, *InFstop;
	Input *InOutputLabel, *InFrameAspect, *InCoC, *InHyperFocal, *InInfoLabel, *InDoFNear, *InDoFFar, *InDoFTotal;
	Input* InImage;
	Output* OutImage;

	static const std::vector<InputDecl<ZRemapper>>& Declarations();
	friend struct DepthOfFieldPage<ZRemapper>;
};

using namespace Attr;

const std::vector<InputDecl<ZRemapper>>& ZRemapper::Declarations()
{
	static const std::vector<InputDecl<ZRemapper>> inputs = DepthOfFieldPage<ZRemapper>::Declarations(
		{{&ZRemapper::InSceneScale, "Scene Scale", "SceneScale",
		  {{DataType, CLSID_DataType_Number}, {Control, CLSID_InputControl_Slider}, {Default, 1.0}}}},
		{{Control, CLSID_InputControl_Color}, {ControlGroup, 1}, {ControlChannel, 0}},
		"Calculated DoF Output (not multiplied by scene scale)");
	return inputs;
}

ZRemapper::ZRemapper(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &ZRemapper::OutImage);
}

namespace ZRemapperKernel
{
/// 1 / S when S is a power of two from 2^-500 to 2^500, else 0. Then
/// v x (1 / S) is the double v / S for every float v: both scale v by a power
/// of two, exactly, far from the ends of the double range.
double ExactReciprocal(double scale)
{
	int exponent = 0;
	const double size = std::fabs(scale);
	return std::frexp(size, &exponent) == 0.5 && size >= 0x1p-500 && size <= 0x1p500 ? 1.0 / scale : 0.0;
}

/// d = |v / S|: a channel's depth in scaled scene units, taken as
/// |v x (1 / S)| when asked to, for a zone whose scale has an exact
/// reciprocal.
double ScaledDepth(float v, const FocusZone& zone, bool byReciprocal)
{
	return std::fabs(byReciprocal ? v * zone.Reciprocal : v / zone.Scale);
}

/// How far outside the zone a channel of scaled depth d lies, narrowed to
/// float, as one formula for both sides: ((P + s) + c) - P, with s the depth
/// signed by the side. Behind the far limit s = d and c = -Far, which is
/// ((d + P) - Far) - P; in front of the near limit s = -1 x d and c = Near,
/// which is ((P - d) + Near) - P. Each is the same IEEE operation on the same
/// values as in its own form (a sum does not depend on the order of its terms,
/// x - y is x + (-y), and multiplying by -1 keeps a NaN as subtracting it
/// does), so one formula serves a block of pixels without branches.
float DistanceOutsideZone(double signedDepth, double limit, const FocusZone& zone)
{
	return static_cast<float>(((zone.Plane + signedDepth) + limit) - zone.Plane);
}

/// Remaps R, G and B of one pixel. The zone is chosen by the red channel's
/// d = |R / S| alone; G and B take the same formula on their own scaled
/// depths. Behind the plane (d > P): the distance beyond the far limit when
/// Far >= 0 and d > Far, else 0. Otherwise (d <= P, or d NaN): 0 when
/// d > Near, else the distance before the near limit. Alpha and the other
/// channels are left as they are.
void RemapPixel(FltPixel& pixel, const FocusZone& zone, bool byReciprocal)
{
	const double dr = ScaledDepth(pixel.R, zone, byReciprocal);
	const double dg = ScaledDepth(pixel.G, zone, byReciprocal);
	const double db = ScaledDepth(pixel.B, zone, byReciprocal);
	const bool beyondFar = dr > zone.Plane && zone.Far >= 0 && dr > zone.Far;
	const bool beforeNear = !(dr > zone.Plane) && !(dr > zone.Near);
	const double sign = beyondFar ? 1.0 : -1.0;
	const double limit = beyondFar ? -zone.Far : zone.Near;
	const bool outside = beyondFar || beforeNear;
	pixel.R = outside ? DistanceOutsideZone(sign * dr, limit, zone) : 0.0f;
	pixel.G = outside ? DistanceOutsideZone(sign * dg, limit, zone) : 0.0f;
	pixel.B = outside ? DistanceOutsideZone(sign * db, limit, zone) : 0.0f;
}

}

using namespace ZRemapperKernel;

void ZRemapper::Process(Request* request)
{
	const double scale = NumberValue(InSceneScale, request);
	CameraSettings camera;
	camera.PlaneOfFocus = std::fabs(NumberValue(InPlaneOfFocus, request) / scale);
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
	const FocusZone zone{scale, camera.PlaneOfFocus, dof.Near, dof.Far, ExactReciprocal(scale)};
	// A scale of 1, or any power of two, spares three divisions a pixel. Each
	// way gets a walk of its own, so that no pixel tests which it takes.
	if (zone.Reciprocal != 0.0)
		MapPixels(input, output, [&](FltPixel& pixel) { RemapPixel(pixel, zone, true); });
	else
		MapPixels(input, output, [&](FltPixel& pixel) { RemapPixel(pixel, zone, false); });
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(ZRemapper, "Korvane.ZRemapper",
                 {"ZRemapper", "QZ_Tools\\DofTools", "ZRemap", "Z Depth Remap Tool", IconBrightness, true, true});
