// Intuitive relighter: a light mask from a position or normal pass. The
// distance between each pixel's (R, G, B) and the light's triple runs through
// a linear ramp between two radii ("Light Size" and "Light Intensity"),
// optionally scaled per pixel by one channel of a map, premultiplied by the
// pass's alpha in all four channels.
#include <cmath>

#include "Declarations.h"
#include "MapChannel.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/Relight.h"

class Relight : public ThreadedOperator
{
public:
	Relight(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~Relight() override = default;
	int SizeOf() override { return sizeof(Relight); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InRed, *InGreen, *InBlue, *InLightIntensity, *InLightSize, *InMapFunction, *InMapChannel;
	Input *InPass, *InMap;
	Output* OutImage;

	static const std::vector<InputDecl<Relight>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<Relight>>& Relight::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, colour{Control, CLSID_InputControl_Color};
	const DeclTag slider{Control, CLSID_InputControl_Slider}, group{ControlGroup, 2};
	const DeclTag choice{DataType, CLSID_DataType_FuID}, buttons{Control, CLSID_InputControl_MultiButtonID};
	static const std::vector<InputDecl<Relight>> inputs = {
		{&Relight::InLabel, "Intuitive Relighter", "Relight", LabelTags()},
		{&Relight::InRed, "Red", "Red",
		 {number, colour, {GroupName, "Light Position/Direction"}, group, {ControlChannel, 0}, {Default, 0.0}}},
		{&Relight::InGreen, "Green", "Green", {number, colour, group, {ControlChannel, 1}, {Default, 0.0}}},
		{&Relight::InBlue, "Blue", "Blue", {number, colour, group, {ControlChannel, 2}, {Default, 0.0}}},
		{&Relight::InLightIntensity, "Light Intensity", "LightIntensity", {number, slider, {Default, 1.0}}},
		{&Relight::InLightSize, "Light Size", "LightSize", {number, slider, {Default, 0.0}}},
		{&Relight::InMapFunction, "Map Function", "Map Fuction",
		 {choice, buttons, {ButtonText, "Intensity"}, {ButtonText, "Size"}, {ButtonFlag, 1}, {DefaultId, "Intensity"}}},
		{&Relight::InMapChannel, "Multiply By Channel", "Map Channel",
		 {choice, buttons, {ButtonText, "Red"}, {ButtonText, "Green"}, {ButtonText, "Blue"}, {ButtonText, "Luminance"},
		  {ButtonText, "Alpha"}, {ButtonFlag, 1}, {DefaultId, "Luminance"}}},
		{&Relight::InPass, "NormalsOrPosition", "NormalsOrPosition",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
		{&Relight::InMap, "Intensity/Size Map", "Intensity/Size Map",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 0}}},
	};
	return inputs;
}

Relight::Relight(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &Relight::OutImage);
}

namespace RelightKernel
{
/// Ramp position c of a pixel at distance `dist` from the light:
///     c = clamp(1 - k × (dist - I))
/// The mask is 1 - c: for S < I, 1 up to S falling to 0 at I; for S > I the
/// opposite ramp. A ramp of no width (k infinite: S equal to I, or closer than
/// 1 / k can tell) is a hard edge at I: c = 0 for dist <= I and 1 beyond,
/// where the formula would give NaN at dist = I; a NaN distance stays NaN.
double RampPosition(double dist, const Ramp& ramp)
{
	if (std::isinf(ramp.Slope))
		return std::isnan(dist) ? dist : dist <= ramp.Reach ? 0.0 : 1.0;
	return ClampToUnit(1.0 - ramp.Slope * (dist - ramp.Reach));
}

/// Sets R, G, B and A of pass pixel P to (1 - c) × alpha, narrowed once, with
///     dist = sqrt((P.R - L.x)² + (P.G - L.y)² + (P.B - L.z)²)   in double.
/// Other channels stay.
void ShadeRelight(FltPixel& pixel, const Light& light, const Ramp& ramp)
{
	const double dx = pixel.R - light.X, dy = pixel.G - light.Y, dz = pixel.B - light.Z;
	const double dist = std::sqrt(dx * dx + dy * dy + dz * dz);
	const float value = static_cast<float>((1.0 - RampPosition(dist, ramp)) * static_cast<double>(pixel.A));
	pixel.R = pixel.G = pixel.B = pixel.A = value;
}

}

using namespace RelightKernel;

void Relight::Process(Request* request)
{
	const Light light{NumberValue(InRed, request), NumberValue(InGreen, request), NumberValue(InBlue, request)};
	const double size = NumberValue(InLightSize, request);
	const double reach = NumberValue(InLightIntensity, request);
	const FuID channel = ChoiceValue(InMapChannel, request);
	const FuID function = ChoiceValue(InMapFunction, request);
	Image* pass = ImageValue(InPass, request);
	Image* map = ImageValue(InMap, request);
	if (!pass)
		return;
	Image* output = NewImageLike(pass);

	// Every pixel is written in full, unless a map of another size leaves the
	// output cleared: only then is the new image cleared.
	RenderWithMap(
		pass, map, output,
		[&] {
			const Ramp ramp(size, reach);
			MapPixels(pass, output, [&](FltPixel& pixel) { ShadeRelight(pixel, light, ramp); });
		},
		[&] {
			// A channel that is none of the buttons changes nothing, like a
			// function that is neither.
			const MapReader read = MapChannelReader(channel);
			const MapTarget target = !read                  ? MapTarget::None
			                         : function == "Intensity" ? MapTarget::Reach
			                         : function == "Size"      ? MapTarget::Size
			                                                   : MapTarget::None;
			MapPixels(pass, map, output, [&](FltPixel& pixel, const FltPixel& weight) {
				double pixelSize = size, pixelReach = reach;
				if (target == MapTarget::Reach)
					pixelReach = read(weight) * reach;
				else if (target == MapTarget::Size)
					pixelSize = read(weight) * size;
				ShadeRelight(pixel, light, Ramp(pixelSize, pixelReach));
			});
		});
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(Relight, "Korvane.IntuitiveRelighter",
                 {"IntuitiveRelighter", "QZ_Tools\\RelightTools", "IntuitiveRelight", "Intuitive Relighter",
                  IconDissolve, false, false});
