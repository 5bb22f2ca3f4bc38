#pragma once
// Shared set-up of the benchmarks: the plug-in loaded from the build, frames
// of the benchmark size, and one tool session rendered per iteration.
#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "Image.h"
#include "qz/core/PluginHost.h"
#include "qz/core/ToolSession.h"

/// Width and height of every benchmark frame.
constexpr int BenchSize = 2048;

PluginHost& BenchPlugins();

struct FrameRelease
{
	void operator()(Image* image) const { image->Recycle(); }
};
using Frame = std::unique_ptr<Image, FrameRelease>;

/// A float RGBA frame of BenchSize x BenchSize whose pixel (x, y) is `fill(x, y)`.
Frame MakeFrame(const std::function<FltPixel(int x, int y)>& fill);

/// A depth-like frame: smooth values 1..40 in R, G, B, alpha 1.
Frame DepthFrame();

/// Renders `tool` once per iteration with `threads` worker threads (0: all
/// cores), reporting bytes of the main frame processed.
void RenderTool(benchmark::State& state, const std::string& tool, const std::map<std::string, Image*>& images,
                const std::map<std::string, double>& numbers = {},
                const std::map<std::string, std::string>& choices = {}, int threads = 1);
