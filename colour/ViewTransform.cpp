#include "qz/colour/ViewTransform.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "qz/core/Error.h"

namespace OCIO = OCIO_NAMESPACE;

namespace
{
std::string Listed(const std::vector<std::string>& names)
{
	std::string text;
	for (const std::string& name : names)
		text += (text.empty() ? "" : ", ") + name;
	return text.empty() ? "none" : text;
}

HostError Unknown(const std::string& what, const std::string& name, const std::string& among,
                  const std::vector<std::string>& known)
{
	return HostError(ErrorKind::Usage, what + " \"" + Excerpt(name) + "\" is not " + among + " (" + Listed(known) + ")");
}

const char* InterpolationName(OCIO::Interpolation interpolation)
{
	// As OpenColorIO's own OpenGL helper filters its LUT textures.
	return interpolation == OCIO::INTERP_NEAREST ? "nearest" : "linear";
}

nlohmann::ordered_json UniformJson(const char* name, const OCIO::GpuShaderDesc::UniformData& data)
{
	nlohmann::ordered_json uniform{{"name", name}};
	switch (data.m_type)
	{
	case OCIO::UNIFORM_DOUBLE:
		uniform["type"] = "float", uniform["value"] = data.m_getDouble();
		break;
	case OCIO::UNIFORM_BOOL:
		uniform["type"] = "bool", uniform["value"] = data.m_getBool();
		break;
	case OCIO::UNIFORM_FLOAT3:
	{
		const OCIO::Float3& value = data.m_getFloat3();
		uniform["type"] = "vec3", uniform["value"] = {value[0], value[1], value[2]};
		break;
	}
	case OCIO::UNIFORM_VECTOR_FLOAT:
	{
		const float* values = data.m_vectorFloat.m_getVector();
		uniform["type"] = "float[]", uniform["value"] = std::vector<float>(values, values + data.m_vectorFloat.m_getSize());
		break;
	}
	case OCIO::UNIFORM_VECTOR_INT:
	{
		const int* values = data.m_vectorInt.m_getVector();
		uniform["type"] = "int[]", uniform["value"] = std::vector<int>(values, values + data.m_vectorInt.m_getSize());
		break;
	}
	default:
		throw HostError(ErrorKind::Usage, std::string("the view transform's shader has a uniform of unknown type: ") + name);
	}
	return uniform;
}

// Pixels transformed as one call: a few hundred kilobytes of floats.
constexpr size_t ChunkPixels = 4096;
}

ViewTransform::ViewTransform(const DisplayView& asked)
{
	const OCIO::ConstConfigRcPtr config = CurrentColourConfig();
	Resolved.Space = asked.Space.empty() ? SceneLinearSpace() : ColourSpaceNamed(asked.Space);

	std::vector<std::string> displays;
	for (int i = 0; i < config->getNumDisplays(); ++i)
		displays.push_back(config->getDisplay(i));
	Resolved.Display = asked.Display.empty() ? config->getDefaultDisplay() : asked.Display;
	if (std::find(displays.begin(), displays.end(), Resolved.Display) == displays.end())
		throw Unknown("display", Resolved.Display, "a display of " + ColourConfigName(), displays);

	const char* display = Resolved.Display.c_str();
	std::vector<std::string> views;
	for (int i = 0; i < config->getNumViews(display); ++i)
		views.push_back(config->getView(display, i));
	Resolved.View = asked.View.empty() ? config->getDefaultView(display) : asked.View;
	if (std::find(views.begin(), views.end(), Resolved.View) == views.end())
		throw Unknown("view", Resolved.View, "a view of display \"" + Resolved.Display + "\" in " + ColourConfigName(),
		              views);

	Resolved.Look = asked.Look;
	if (!asked.Look.empty() && !config->getLook(asked.Look.c_str()))
	{
		std::vector<std::string> looks;
		for (int i = 0; i < config->getNumLooks(); ++i)
			looks.push_back(config->getLookNameByIndex(i));
		throw Unknown("look", asked.Look, "a look of " + ColourConfigName(), looks);
	}

	double luma[3];
	config->getDefaultLumaCoefs(luma);
	Luma = {float(luma[0]), float(luma[1]), float(luma[2])};

	// The look in the picture's space (OpenColorIO converts to the look's
	// process space and back), then the display's view of it.
	const OCIO::GroupTransformRcPtr transforms = OCIO::GroupTransform::Create();
	if (!Resolved.Look.empty())
	{
		const OCIO::LookTransformRcPtr look = OCIO::LookTransform::Create();
		look->setSrc(Resolved.Space.c_str());
		look->setDst(Resolved.Space.c_str());
		look->setLooks(Resolved.Look.c_str());
		transforms->appendTransform(look);
	}
	const OCIO::DisplayViewTransformRcPtr view = OCIO::DisplayViewTransform::Create();
	view->setSrc(Resolved.Space.c_str());
	view->setDisplay(display);
	view->setView(Resolved.View.c_str());
	transforms->appendTransform(view);
	try
	{
		Processor = config->getProcessor(transforms);
		Cpu = Processor->getDefaultCPUProcessor();
	}
	catch (const OCIO::Exception& e)
	{
		throw HostError(ErrorKind::Usage, "cannot show " + Resolved.Space + " through view \"" + Resolved.View +
		                                      "\" of display \"" + Resolved.Display + "\": " + e.what());
	}
}

nlohmann::ordered_json ViewTransform::Shader() const
{
	OCIO::GpuShaderDescRcPtr shader = OCIO::GpuShaderDesc::CreateShaderDesc();
	shader->setLanguage(OCIO::GPU_LANGUAGE_GLSL_ES_3_0);
	try
	{
		Processor->getDefaultGPUProcessor()->extractGpuShaderInfo(shader);
	}
	catch (const OCIO::Exception& e)
	{
		throw HostError(ErrorKind::Usage, std::string("no GPU shader for the view transform: ") + e.what());
	}

	nlohmann::ordered_json uniforms = nlohmann::ordered_json::array();
	for (unsigned i = 0; i < shader->getNumUniforms(); ++i)
	{
		OCIO::GpuShaderDesc::UniformData data;
		const char* name = shader->getUniform(i, data);
		uniforms.push_back(UniformJson(name, data));
	}
	nlohmann::ordered_json textures = nlohmann::ordered_json::array();
	for (unsigned i = 0; i < shader->getNumTextures(); ++i)
	{
		const char *name = nullptr, *sampler = nullptr;
		unsigned width = 0, height = 0;
		OCIO::GpuShaderDesc::TextureType channel;
		OCIO::Interpolation interpolation;
		shader->getTexture(i, name, sampler, width, height, channel, interpolation);
		const float* values = nullptr;
		shader->getTextureValues(i, values);
		const int channels = channel == OCIO::GpuShaderDesc::TEXTURE_RED_CHANNEL ? 1 : 3;
		textures.push_back({{"name", name},
		                    {"sampler", sampler},
		                    {"width", width},
		                    {"height", height},
		                    {"channels", channels},
		                    {"interpolation", InterpolationName(interpolation)},
		                    {"values", std::vector<float>(values, values + size_t(width) * height * channels)}});
	}
	nlohmann::ordered_json textures3d = nlohmann::ordered_json::array();
	for (unsigned i = 0; i < shader->getNum3DTextures(); ++i)
	{
		const char *name = nullptr, *sampler = nullptr;
		unsigned edge = 0;
		OCIO::Interpolation interpolation;
		shader->get3DTexture(i, name, sampler, edge, interpolation);
		const float* values = nullptr;
		shader->get3DTextureValues(i, values);
		textures3d.push_back({{"name", name},
		                      {"sampler", sampler},
		                      {"edge", edge},
		                      {"interpolation", InterpolationName(interpolation)},
		                      {"values", std::vector<float>(values, values + size_t(edge) * edge * edge * 3)}});
	}
	return {{"language", "GLSL ES 3.0"}, {"functionName", shader->getFunctionName()},
	        {"text", shader->getShaderText()}, {"uniforms", uniforms},
	        {"textures", textures},           {"textures3d", textures3d}};
}

void ViewTransform::ToDisplay(const float* rgba, size_t count, ViewedChannels channels, const ViewerGrade& grade,
                              uint8_t* levels) const
{
	const float gain = static_cast<float>(std::exp2(grade.Exposure));
	const float inverseGamma = static_cast<float>(1 / grade.Gamma);
	const int single = channels == ViewedChannels::Red     ? 0
	                   : channels == ViewedChannels::Green ? 1
	                   : channels == ViewedChannels::Blue  ? 2
	                   : channels == ViewedChannels::Alpha ? 3
	                                                       : -1;
	const auto finite = [](float v) { return std::isnan(v) ? 0.0f : v; };
	std::vector<float> rgb(std::min(count, ChunkPixels) * 3);
	for (size_t first = 0; first < count; first += ChunkPixels)
	{
		const size_t chunk = std::min(ChunkPixels, count - first);
		for (size_t i = 0; i < chunk; ++i)
		{
			const float* pixel = rgba + (first + i) * 4;
			float* out = rgb.data() + i * 3;
			if (channels == ViewedChannels::Rgb)
				for (int c = 0; c < 3; ++c)
					out[c] = finite(pixel[c] * gain);
			else
			{
				const float grey = single >= 0 ? pixel[single]
				                               : Luma[0] * pixel[0] + Luma[1] * pixel[1] + Luma[2] * pixel[2];
				out[0] = out[1] = out[2] = finite(grey * gain);
			}
		}
		OCIO::PackedImageDesc pixels(rgb.data(), long(chunk), 1, 3);
		Cpu->apply(pixels);
		for (size_t i = 0; i < chunk; ++i)
		{
			uint8_t* out = levels + (first + i) * 4;
			for (int c = 0; c < 3; ++c)
			{
				const float v = rgb[i * 3 + c];
				const float shown = v > 0 ? (v < 1 ? v : 1.0f) : 0.0f;  // NaN to 0
				const float graded = inverseGamma == 1 ? shown : std::pow(shown, inverseGamma);
				out[c] = static_cast<uint8_t>(graded * 255 + 0.5f);
			}
			out[3] = 255;
		}
	}
}
