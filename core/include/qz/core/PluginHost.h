#pragma once
#include <map>
#include <string>
#include <vector>

#include "Registry.h"
#include "qz/core/Error.h"

/// The plug-ins a host has loaded and the tools they registered.
class PluginHost
{
public:
	/// Loads every `*.plugin` file found in `directories`, in order; a file
	/// name already loaded from an earlier directory is skipped. Plug-ins that
	/// fail to load are reported to `warn`.
	explicit PluginHost(const std::vector<std::string>& directories, const WarningSink& warn = {});
	/// Unloads the plug-ins in reverse order; their tools leave the class list.
	~PluginHost();
	PluginHost(const PluginHost&) = delete;
	PluginHost& operator=(const PluginHost&) = delete;

	/// Where qz looks for plug-ins: its own directory, the colon-separated
	/// directories of QZ_PLUGIN_PATH, and lib/qz/plugins of its install prefix.
	static std::vector<std::string> DefaultDirectories();

	/// The registered tools, in registration order.
	std::vector<const Registry*> Tools() const;

	/// The tool whose registry name, class ID, short name or class name is
	/// `name`, compared without regard to case; null when there is none.
	const Registry* FindTool(const std::string& name) const;

	/// The C++ class name of a tool (found by creating one).
	std::string ClassName(const Registry* tool) const;

	const std::vector<std::string>& LoadedFiles() const { return Files; }

private:
	std::vector<void*> Handles;
	std::vector<std::string> Files;
	mutable std::map<const Registry*, std::string> ClassNames;
};
