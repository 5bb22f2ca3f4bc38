// Spot relighter: the light a spotlight, placed by its position and the point
// it aims at, casts on a position pass: a cosine-power falloff around the
// spot's axis, times the intensity, optionally times the cosine between each
// surface normal and the axis. The light value fills all four channels.
#include <cmath>

#include "Declarations.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "Vectors.h"

class SimpleSpotlight : public ThreadedOperator
{
public:
	SimpleSpotlight(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~SimpleSpotlight() override = default;
	int SizeOf() override { return sizeof(SimpleSpotlight); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InRed, *InGreen, *InBlue, *InRed2, *InGreen2, *InBlue2, *InConeSize, *InLightIntensity;
	Input *InPosition, *InNormals;
	Output* OutImage;

	static const std::vector<InputDecl<SimpleSpotlight>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<SimpleSpotlight>>& SimpleSpotlight::Declarations()
{
	const DeclTag number{DataType, CLSID_DataType_Number}, colour{Control, CLSID_InputControl_Color};
	const DeclTag slider{Control, CLSID_InputControl_Slider};
	const DeclTag position{ControlGroup, 2}, target{ControlGroup, 3};
	static const std::vector<InputDecl<SimpleSpotlight>> inputs = {
		{&SimpleSpotlight::InLabel, "Simple Spotlight (Relighter)", "Spot Relight", LabelTags()},
		{&SimpleSpotlight::InRed, "Red", "Red",
		 {number, colour, {GroupName, "Light Position"}, position, {ControlChannel, 0}, {Default, 0.0}}},
		{&SimpleSpotlight::InGreen, "Green", "Green", {number, colour, position, {ControlChannel, 1}, {Default, 0.0}}},
		{&SimpleSpotlight::InBlue, "Blue", "Blue", {number, colour, position, {ControlChannel, 2}, {Default, 0.0}}},
		{&SimpleSpotlight::InRed2, "Red2", "Red2",
		 {number, colour, {GroupName, "Light Target"}, target, {ControlChannel, 0}, {Default, 0.0}}},
		{&SimpleSpotlight::InGreen2, "Green2", "Green2", {number, colour, target, {ControlChannel, 1}, {Default, 0.0}}},
		{&SimpleSpotlight::InBlue2, "Blue2", "Blue2", {number, colour, target, {ControlChannel, 2}, {Default, 0.0}}},
		{&SimpleSpotlight::InConeSize, "Light Cone Size", "LightConeSize",
		 {number, slider, {RangeLow, 1.0}, {RangeHighAlt, 100.0}, {IntegerOnly, 1}, {Default, 8.0}}},
		{&SimpleSpotlight::InLightIntensity, "Light Intensity", "LightIntensity", {number, slider, {Default, 1.0}}},
		{&SimpleSpotlight::InPosition, "Position", "Position",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
		{&SimpleSpotlight::InNormals, "Normals", "Normals",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 0}}},
	};
	return inputs;
}

SimpleSpotlight::SimpleSpotlight(const Registry* reg, const ScriptVal& table, const TagList& tags)
	: ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &SimpleSpotlight::OutImage);
}

namespace
{
/// What every pixel of a request shares.
struct Spot
{
	float3 LightPos;  // the light's position, narrowed to single precision
	float3 Axis;      // unit vector from the target towards the light; zero when they coincide
	double Intensity;
	double Cone;      // the cosine's exponent
};
}

/// max(v, 0) in single precision, keeping v when it is not less than 0 (so a
/// NaN passes through).
static float NotBelowZero(float v)
{
	return v < 0.0f ? 0.0f : v;
}

/// The spot value of a position pixel P, in single precision up to the power:
///     v = normalize(lp - P.rgb)
///     L = pow(max(v · a, 0), c) × I   (power and product in double)
/// A pixel at the light itself keeps v = 0 and so d = 0.
static double SpotValue(const FltPixel& position, const Spot& spot)
{
	const float3 p(position.R, position.G, position.B);
	float3 toLight(spot.LightPos.x - p.x, spot.LightPos.y - p.y, spot.LightPos.z - p.z);
	toLight.Normalize();
	const float m = NotBelowZero(toLight.dot(spot.Axis));
	return std::pow(static_cast<double>(m), spot.Cone) * spot.Intensity;
}

/// The normal term: max(normalize(N.rgb) · a, 0), widened to double. It uses
/// the spot's axis, not the direction from the pixel to the light.
static double NormalTerm(const FltPixel& normal, const Spot& spot)
{
	float3 n(normal.R, normal.G, normal.B);
	n.Normalize();
	return NotBelowZero(n.dot(spot.Axis));
}

/// R, G, B and A all become the light value, narrowed once; other channels stay.
static void SetLight(FltPixel& pixel, double light)
{
	pixel.R = pixel.G = pixel.B = pixel.A = static_cast<float>(light);
}

void SimpleSpotlight::Process(Request* request)
{
	const double px = NumberValue(InRed, request), py = NumberValue(InGreen, request), pz = NumberValue(InBlue, request);
	const double tx = NumberValue(InRed2, request), ty = NumberValue(InGreen2, request), tz = NumberValue(InBlue2, request);
	float3 axis(static_cast<float>(px - tx), static_cast<float>(py - ty), static_cast<float>(pz - tz));
	axis.Normalize();
	const double intensity = NumberValue(InLightIntensity, request);
	const double cone = NumberValue(InConeSize, request);
	const Spot spot{float3(static_cast<float>(px), static_cast<float>(py), static_cast<float>(pz)), axis, intensity,
	                cone};
	Image* positions = ImageValue(InPosition, request);
	Image* normals = ImageValue(InNormals, request);
	if (!positions)
		return;
	Image* output = NewImageLike(positions);

	// Every pixel is written in full, unless a normal pass of another size
	// leaves the output cleared: only then is the new image cleared.
	if (!normals)
		MapPixels(positions, output, [&](FltPixel& pixel) { SetLight(pixel, SpotValue(pixel, spot)); });
	else if (normals->Width == positions->Width && normals->Height == positions->Height)
		MapPixels(positions, normals, output, [&](FltPixel& pixel, const FltPixel& normal) {
			SetLight(pixel, SpotValue(pixel, spot) * NormalTerm(normal, spot));
		});
	else
		output->Fill(0, 0, 0, 0);
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(SimpleSpotlight, "Korvane.SimpleSpotlight",
                 {"SimpleSpotlight", "QZ_Tools\\RelightTools", "SimpleSpotlight", "Spot Relighter", IconDissolve,
                  false, false});
