#include "qz/core/PluginHost.h"

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "Operator.h"
#include "qz/core/Error.h"

namespace fs = std::filesystem;

PluginHost::PluginHost(const std::vector<std::string>& directories, const WarningSink& warn)
{
	std::set<std::string> names;
	for (const std::string& directory : directories)
	{
		std::error_code ec;
		if (directory.empty() || !fs::is_directory(directory, ec))
			continue;
		std::vector<fs::path> plugins;
		for (const fs::directory_entry& entry : fs::directory_iterator(directory, ec))
			if (entry.path().extension() == ".plugin")
				plugins.push_back(entry.path());
		std::sort(plugins.begin(), plugins.end());
		for (const fs::path& plugin : plugins)
		{
			if (!names.insert(plugin.filename().string()).second)
				continue;
			void* handle = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
			if (!handle)
			{
				if (warn)
					warn("cannot load plug-in " + plugin.string() + ": " + dlerror());
				continue;
			}
			Handles.push_back(handle);
			Files.push_back(plugin.string());
		}
	}
	for (const Registry* tool : Tools())
		Operator::RegInit(const_cast<Registry*>(tool));
}

PluginHost::~PluginHost()
{
	for (const Registry* tool : Tools())
		Operator::RegCleanup(const_cast<Registry*>(tool));
	for (auto it = Handles.rbegin(); it != Handles.rend(); ++it)
		dlclose(*it);
}

std::vector<std::string> PluginHost::DefaultDirectories()
{
	std::vector<std::string> directories;
	std::error_code ec;
	const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
	if (!ec)
		directories.push_back(exe.parent_path().string());
	if (const char* path = std::getenv("QZ_PLUGIN_PATH"))
	{
		std::stringstream list(path);
		std::string directory;
		while (std::getline(list, directory, ':'))
			directories.push_back(directory);
	}
	if (!ec)
		directories.push_back((exe.parent_path().parent_path() / "lib" / "qz" / "plugins").string());
	return directories;
}

std::vector<const Registry*> PluginHost::Tools() const
{
	std::vector<const Registry*> tools;
	for (RegistryList* node = ClassRegistry; node; node = node->Next)
		tools.push_back(node->Record);
	return tools;
}

static bool SameText(const std::string& a, const std::string& b)
{
	return strcasecmp(a.c_str(), b.c_str()) == 0;
}

const Registry* PluginHost::FindTool(const std::string& name) const
{
	for (const Registry* tool : Tools())
		if (SameText(name, tool->Name()) || SameText(name, tool->ID().GetRawString()) ||
		    SameText(name, tool->Attributes().GetText(Attr::ShortName)) || SameText(name, ClassName(tool)))
			return tool;
	return nullptr;
}

std::string PluginHost::ClassName(const Registry* tool) const
{
	auto it = ClassNames.find(tool);
	if (it != ClassNames.end())
		return it->second;
	std::unique_ptr<Object> object(tool->Create(ScriptVal(), TagList()));
	std::string name = object ? TypeName(typeid(*object)) : "";
	ClassNames[tool] = name;
	return name;
}
