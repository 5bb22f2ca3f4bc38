#pragma once
// The viewer's display: scene-linear pictures (or pictures of another colour
// space) to a display and view of the configuration, with a look if asked,
// as OpenColorIO transforms them, for the GPU as a shader with its LUTs and
// on the CPU to 8-bit levels; with a viewer's exposure before the transform
// and its gamma after it.
#include <array>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "qz/colour/ColourConfig.h"

/// What the viewer shows a picture through, by the configuration's names.
struct DisplayView
{
	std::string Space;    // the picture's: a space, alias or role; "" for scene_linear
	std::string Display;  // "" for the configuration's default display
	std::string View;     // "" for the display's default view
	std::string Look;     // "" for none
};

/// What the viewer shows of a picture: R, G and B, one channel (alpha
/// included) as grey, or luminance by the configuration's luma weights.
enum class ViewedChannels
{
	Rgb,
	Red,
	Green,
	Blue,
	Alpha,
	Luma
};

/// The viewer's exposure (stops) and gamma around the transform.
struct ViewerGrade
{
	double Exposure = 0;  // multiplies scene-linear values by 2^Exposure
	double Gamma = 1;     // raises displayed values, clamped to 0..1, to 1/Gamma
};

class ViewTransform
{
public:
	/// The transform from `asked.Space` through the look, if any, to the
	/// display's view. Throws `HostError` (usage) naming the space, display,
	/// view or look the configuration does not have, and listing those it has.
	explicit ViewTransform(const DisplayView& asked);

	/// The names it resolved to: the space's own name, the default display
	/// and view where none was asked.
	const DisplayView& Names() const { return Resolved; }
	/// The configuration's luma weights, for `ViewedChannels::Luma`.
	const std::array<float, 3>& LumaWeights() const { return Luma; }

	/// The transform as a GLSL ES 3.0 shader function: its text and name, its
	/// uniforms with their values, its 1D LUTs (as 2D textures) and 3D LUTs
	/// with their float values.
	nlohmann::ordered_json Shader() const;

	/// `count` float R, G, B, A pixels to 8-bit R, G, B, A levels (alpha 255):
	/// the channels chosen, times 2^exposure (NaN taken as 0), the transform
	/// in single precision, clamped to 0..1 (NaN to 0), to the power 1/gamma,
	/// rounded to the nearest level.
	void ToDisplay(const float* rgba, size_t count, ViewedChannels channels, const ViewerGrade& grade,
	               uint8_t* levels) const;

private:
	DisplayView Resolved;
	std::array<float, 3> Luma{};
	OCIO_NAMESPACE::ConstProcessorRcPtr Processor;
	OCIO_NAMESPACE::ConstCPUProcessorRcPtr Cpu;
};
