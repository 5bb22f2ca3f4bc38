#pragma once
#include <ostream>
#include <string>

#include "qz/core/PluginHost.h"

/// `qz demo`: renders the synthetic scene's passes and runs them through the
/// tools into `outDir` (EXR files plus PNG previews), printing the tools'
/// read-outs, and reporting warnings to `warn`.
void RunDemo(const PluginHost& host, const std::string& outDir, std::ostream& out, const WarningSink& warn = {});
