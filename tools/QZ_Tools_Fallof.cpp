// Falloff mask: turns a normal pass into a facing-ratio mask, 0 where the
// surface faces the viewer along z and the full intensity where it is seen
// edge-on, optionally scaled per pixel by one channel of an intensity map,
// premultiplied by the pass's alpha in all four channels.
#include <cmath>

#include "Declarations.h"
#include "MapChannel.h"
#include "Registration.h"
#include "ToolSupport.h"
#include "kernels/Falloff.h"

class Fallof : public ThreadedOperator
{
public:
	Fallof(const Registry* reg, const ScriptVal& table, const TagList& tags);
	~Fallof() override = default;
	int SizeOf() override { return sizeof(Fallof); }
	void Process(Request* request) override;

	static FuID ClassID;
	static Registry Reg;

private:
	Input *InLabel, *InIntensity, *InMapChannel, *InNormals, *InIntensityMap;
	Output* OutImage;

	static const std::vector<InputDecl<Fallof>>& Declarations();
};

using namespace Attr;

const std::vector<InputDecl<Fallof>>& Fallof::Declarations()
{
	static const std::vector<InputDecl<Fallof>> inputs = {
		{&Fallof::InLabel, "Falloff", "Falloff", LabelTags()},
		{&Fallof::InIntensity, "Intensity", "Intensity",
		 {{DataType, CLSID_DataType_Number}, {Control, CLSID_InputControl_Slider}, {Default, 1.0}}},
		{&Fallof::InMapChannel, "Multiply By Channel", "Map Channel",
		 {{DataType, CLSID_DataType_FuID}, {Control, CLSID_InputControl_MultiButtonID}, {ButtonText, "Red"},
		  {ButtonText, "Green"}, {ButtonText, "Blue"}, {ButtonText, "Luminance"}, {ButtonText, "Alpha"},
		  {ButtonFlag, 1}, {DefaultId, "Luminance"}}},
		{&Fallof::InNormals, "Normals", "Normals", {{DataType, CLSID_DataType_Image}, {MainIndex, 1}, {Required, 1}}},
		{&Fallof::InIntensityMap, "Intensity Map", "Intensity Map",
		 {{DataType, CLSID_DataType_Image}, {MainIndex, 2}, {Required, 0}}},
	};
	return inputs;
}

Fallof::Fallof(const Registry* reg, const ScriptVal& table, const TagList& tags) : ThreadedOperator(reg, table, tags)
{
	DeclareControls(*this, Declarations(), &Fallof::OutImage);
}

namespace FalloffKernel
{
/// The mask of one normal N of length `len` at intensity I, before alpha:
///     n = N.rgb / len
///     d = n · (0, 0, -1)
///     m = clamp((1 - |d|) × I)
double FalloffMask(const FltPixel& normal, double len, double intensity)
{
	const double nz = normal.B / len;
	// The x and y terms n.x × 0 and n.y × 0 are written N.x × 0 and N.y × 0:
	// both are ±0 for a finite channel and NaN for an infinite or NaN one, as
	// the divided forms are whenever |d| can tell (a NaN length makes n.z NaN
	// anyway), and |d| drops the sign of a zero. So |d| is the same, without
	// two more divisions per pixel.
	const double d = (normal.R * 0.0 + normal.G * 0.0) + nz * -1.0;
	return ClampToUnit((1.0 - std::fabs(d)) * intensity);
}

/// Sets R, G, B and A of `normal` to m × alpha (narrowed once), with the
/// length sqrtf(N.R² + N.G² + N.B²) summed in single precision. Other
/// channels stay. A normal whose squared length is 0 in single precision has
/// no direction: it gives 0 in all four channels, whatever its alpha, where
/// the division would give NaN.
void ShadeFalloff(FltPixel& normal, double intensity)
{
	const float squared = normal.R * normal.R + normal.G * normal.G + normal.B * normal.B;
	const double len = std::sqrt(squared);
	// The mask is worked out for every pixel and the zero length chosen after
	// narrowing, so that the choices in double and in single precision stay
	// apart and a block of pixels needs no conversions between their masks.
	const float value = static_cast<float>(FalloffMask(normal, len, intensity) * static_cast<double>(normal.A));
	normal.R = normal.G = normal.B = normal.A = squared == 0.0f ? 0.0f : value;
}

}

using namespace FalloffKernel;

void Fallof::Process(Request* request)
{
	const double intensity = NumberValue(InIntensity, request);
	const FuID channel = ChoiceValue(InMapChannel, request);
	Image* normals = ImageValue(InNormals, request);
	Image* map = ImageValue(InIntensityMap, request);
	if (!normals)
		return;
	Image* output = NewImageLike(normals);

	// Every pixel is written in full, unless a map of another size leaves the
	// output cleared: only then is the new image cleared.
	RenderWithMap(
		normals, map, output,
		[&] { MapPixels(normals, output, [&](FltPixel& pixel) { ShadeFalloff(pixel, intensity); }); },
		[&] {
			const MapReader read = MapChannelReader(channel);
			MapPixels(normals, map, output, [&](FltPixel& pixel, const FltPixel& weight) {
				ShadeFalloff(pixel, read ? read(weight) * intensity : intensity);
			});
		});
	OutImage->Set(request, output, nullptr);
}

QZ_REGISTER_TOOL(Fallof, "Korvane.Falloff",
                 {"Falloff", "QZ_Tools\\RelightTools", "Falloff", "Falloff Mask", IconDissolve, false, false});
