#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "qz/core/PluginHost.h"
#include "qz/graph/Frames.h"

/// What `qz run` was asked to do.
struct RunOptions
{
	std::string Tool;
	std::vector<std::string> Images;  // ID=SOURCE; see `ImageSource`, the path may name a frame sequence
	std::vector<std::string> Values;  // ID=VALUE
	std::string OutputPath;           // may name a frame sequence
	std::string ColorSpace;           // --colorspace: the output's, converted from scene_linear
	FrameOptions Frames;
};

/// Renders the tool for every frame asked for, writing outputs and printing
/// read-outs to `out`. Returns the exit status; throws `HostError` on failure.
int RunCommand(const PluginHost& host, const RunOptions& options, std::ostream& out);

/// Splits "ID=VALUE" as given to -i and -s (`option` names the option in
/// errors). Throws `HostError` (usage) when there is no ID or no '='.
std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option);
