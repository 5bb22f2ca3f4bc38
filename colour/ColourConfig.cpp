#include "qz/colour/ColourConfig.h"

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "Operator.h"
#include "WorkerPool.h"
#include "qz/core/Error.h"

namespace OCIO = OCIO_NAMESPACE;

// qz's default configuration, compiled in from qz-default.ocio.
extern const char* const DefaultColourConfig;

namespace
{
std::mutex ConfigMutex;
std::string ChosenPath;          // --ocio; "" for $OCIO or the default
OCIO::ConstConfigRcPtr Loaded;  // null until first use

std::string PathInUse()
{
	if (!ChosenPath.empty())
		return ChosenPath;
	const char* environment = std::getenv("OCIO");
	return environment && *environment ? environment : "";
}

HostError ConfigError(const std::string& path, const std::string& what)
{
	return HostError(ErrorKind::Usage, "colour configuration " + (path.empty() ? "(qz's default)" : path) + ": " + what);
}

OCIO::ConstConfigRcPtr TheConfig()
{
	std::lock_guard<std::mutex> lock(ConfigMutex);
	if (Loaded)
		return Loaded;
	const std::string path = PathInUse();
	try
	{
		OCIO::ConstConfigRcPtr config;
		if (path.empty())
		{
			std::istringstream text(DefaultColourConfig);
			config = OCIO::Config::CreateFromStream(text);
		}
		else
			config = OCIO::Config::CreateFromFile(path.c_str());
		config->validate();
		if (!config->getColorSpace(OCIO::ROLE_SCENE_LINEAR))
			throw ConfigError(path, "it has no scene_linear role, which pictures are converted to");
		Loaded = config;
	}
	catch (const OCIO::Exception& e)
	{
		throw ConfigError(path, e.what());
	}
	return Loaded;
}

// Rows converted as one task: a few hundred kilobytes of pixels.
constexpr int RowsPerTask = 16;
}

void UseColourConfig(const std::string& path)
{
	std::lock_guard<std::mutex> lock(ConfigMutex);
	ChosenPath = path;
	Loaded = nullptr;
}

std::string ColourConfigName()
{
	std::lock_guard<std::mutex> lock(ConfigMutex);
	const std::string path = PathInUse();
	return path.empty() ? "qz's default colour configuration" : path;
}

std::string ColourSpaceNamed(const std::string& name)
{
	const OCIO::ConstConfigRcPtr config = TheConfig();
	if (const OCIO::ConstColorSpaceRcPtr space = config->getColorSpace(name.c_str()))
		return space->getName();
	std::string known;
	for (int i = 0; i < config->getNumColorSpaces(); ++i)
		known += (known.empty() ? "" : ", ") + std::string(config->getColorSpaceNameByIndex(i));
	throw HostError(ErrorKind::Usage, "colour space \"" + Excerpt(name) + "\" is not in " + ColourConfigName() +
	                                      " (its spaces: " + known + "; `qz colorspaces` lists aliases and roles)");
}

std::string SceneLinearSpace()
{
	return TheConfig()->getColorSpace(OCIO::ROLE_SCENE_LINEAR)->getName();
}

std::string AutomaticColourSpace(const std::string& path, const std::string& recorded)
{
	const OCIO::ConstConfigRcPtr config = TheConfig();
	if (!recorded.empty())
		if (const OCIO::ConstColorSpaceRcPtr space = config->getColorSpace(recorded.c_str()))
			return space->getName();
	return ColourSpaceNamed(config->getColorSpaceFromFilepath(path.c_str()));
}

void ConvertColours(Image& image, const std::string& from, const std::string& to)
{
	if (from == to || image.PixelCount() == 0)
		return;
	OCIO::ConstCPUProcessorRcPtr processor;
	try
	{
		processor = TheConfig()->getProcessor(from.c_str(), to.c_str())->getDefaultCPUProcessor();
	}
	catch (const OCIO::Exception& e)
	{
		throw HostError(ErrorKind::Usage, "cannot convert colours from \"" + Excerpt(from) + "\" to \"" + Excerpt(to) +
		                                      "\": " + e.what());
	}
	if (processor->isNoOp())
		return;
	const long width = image.Width;
	const ptrdiff_t rowBytes = static_cast<ptrdiff_t>(width) * 4 * sizeof(float);
	const int tasks = (image.Height + RowsPerTask - 1) / RowsPerTask;
	RunOnWorkers(tasks, GetThreadCount(), [&](int task) {
		const int first = task * RowsPerTask, rows = std::min(RowsPerTask, image.Height - first);
		OCIO::PackedImageDesc rowsOfPixels(image.Data() + first * rowBytes, width, rows, OCIO::CHANNEL_ORDERING_BGRA,
		                                   OCIO::BIT_DEPTH_F32, sizeof(float), 4 * sizeof(float), rowBytes);
		processor->apply(rowsOfPixels);
	});
}

nlohmann::ordered_json DescribeColourConfig()
{
	const OCIO::ConstConfigRcPtr config = TheConfig();
	nlohmann::ordered_json spaces = nlohmann::ordered_json::array();
	for (int i = 0; i < config->getNumColorSpaces(); ++i)
	{
		const OCIO::ConstColorSpaceRcPtr space = config->getColorSpace(config->getColorSpaceNameByIndex(i));
		nlohmann::ordered_json aliases = nlohmann::ordered_json::array();
		for (size_t a = 0; a < space->getNumAliases(); ++a)
			aliases.push_back(space->getAlias(a));
		spaces.push_back({{"name", space->getName()},
		                  {"family", space->getFamily()},
		                  {"aliases", aliases},
		                  {"isData", space->isData()},
		                  {"description", space->getDescription()}});
	}
	nlohmann::ordered_json roles = nlohmann::ordered_json::object();
	for (int i = 0; i < config->getNumRoles(); ++i)
		roles[config->getRoleName(i)] = config->getRoleColorSpace(i);
	nlohmann::ordered_json displays = nlohmann::ordered_json::array();
	for (int i = 0; i < config->getNumDisplays(); ++i)
	{
		const char* display = config->getDisplay(i);
		nlohmann::ordered_json views = nlohmann::ordered_json::array();
		for (int v = 0; v < config->getNumViews(display); ++v)
			views.push_back(config->getView(display, v));
		displays.push_back({{"name", display}, {"views", views}});
	}
	nlohmann::ordered_json looks = nlohmann::ordered_json::array();
	for (int i = 0; i < config->getNumLooks(); ++i)
		looks.push_back(config->getLookNameByIndex(i));
	return {{"config", ColourConfigName()}, {"sceneLinear", SceneLinearSpace()}, {"colorspaces", spaces},
	        {"roles", roles},          {"displays", displays},          {"looks", looks}};
}

void PrintColourConfig(const nlohmann::ordered_json& config, std::ostream& out)
{
	const auto list = [](const nlohmann::ordered_json& names) {
		std::string text;
		for (const auto& name : names)
			text += (text.empty() ? "" : ", ") + name.get<std::string>();
		return text;
	};
	out << "configuration: " << config["config"].get<std::string>() << "\n"
	    << "scene_linear: " << config["sceneLinear"].get<std::string>() << "\ncolour spaces:\n";
	for (const auto& space : config["colorspaces"])
	{
		out << "  " << space["name"].get<std::string>();
		if (!space["family"].get<std::string>().empty())
			out << "  family " << space["family"].get<std::string>();
		if (!space["aliases"].empty())
			out << "  aliases " << list(space["aliases"]);
		if (space["isData"].get<bool>())
			out << "  data";
		out << "\n";
	}
	out << "roles:\n";
	for (const auto& [role, space] : config["roles"].items())
		out << "  " << role << ": " << space.get<std::string>() << "\n";
	out << "displays and views:\n";
	for (const auto& display : config["displays"])
		out << "  " << display["name"].get<std::string>() << ": " << list(display["views"]) << "\n";
	out << "looks:" << (config["looks"].empty() ? " none" : "") << "\n";
	for (const auto& look : config["looks"])
		out << "  " << look.get<std::string>() << "\n";
}

OCIO::ConstConfigRcPtr CurrentColourConfig()
{
	return TheConfig();
}
