#pragma once
#include <ostream>
#include <string>

#include "qz/core/PluginHost.h"
#include "qz/graph/Frames.h"

struct FlowOptions
{
	std::string Path;
	FrameOptions Frames;
};

/// `qz flow`: renders the flow for every frame asked for and writes its
/// saves, printing read-outs to `out`. Returns the exit status; throws
/// `HostError` for a fault found before rendering.
int FlowCommand(const PluginHost& host, const FlowOptions& options, std::ostream& out);
