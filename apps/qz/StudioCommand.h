#pragma once
// `qz studio`: edits and previews flows in a browser, through a server on
// this machine that only this user's browser tab may use (see StudioServer).
#include <ostream>
#include <string>

#include "qz/core/PluginHost.h"

struct StudioOptions
{
	std::string FlowPath;  // "" for none
	std::string Root;      // "": the flow's folder, else the current folder
	int Port = 0;          // 0: one the system picks
	std::string Listen = "127.0.0.1";
};

/// Serves the studio until SIGINT or SIGTERM, after printing its address,
/// with the token, as one line to `out`. Throws `HostError` (usage) when the
/// page is not built, the root is no folder, the flow lies outside it or the
/// port cannot be had.
int StudioCommand(const PluginHost& host, const StudioOptions& options, std::ostream& out);
