#pragma once
// Renders a flow over frames: the one engine behind `qz run` (a flow of one
// node) and `qz flow`.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Flow.h"
#include "Frames.h"

using ReadoutList = std::vector<std::pair<std::string, double>>;

struct RenderedFrame
{
	std::vector<std::string> Saved;
	std::vector<std::pair<std::string, ReadoutList>> Readouts;  // by node, in render order
};

struct FlowRenderResult
{
	bool TimeIsFrame = false;  // false: one render at time 0
	std::map<int, RenderedFrame> Frames;
	std::vector<std::string> Skipped;  // the first missing file of each skipped frame
};

/// The frames a command renders: `range` (all of it, or chunk "K/N" of it);
/// without a range, the frames on disk of the sequences in `inputs`, or one
/// render at time 0 (an empty list) when none is a sequence.
std::vector<int> FramesToRender(const std::string& range, const std::string& chunk,
                                const std::vector<std::string>& inputs = {});

/// Renders `flow` for the frames `options` asks for and writes its saves.
/// Every input file is read once per frame, every node renders once per
/// frame, and each input is lined up with its node's main input (see
/// `LineUp`). A node's output keeps its main input's file context, so saves
/// carry what that file held. Throws `HostError` on the first failure.
FlowRenderResult RenderFlow(const Flow& flow, const FrameOptions& options);
