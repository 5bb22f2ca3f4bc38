#pragma once
// Renders a flow over frames: the one engine behind `qz run` (a flow of one
// node) and `qz flow`.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Flow.h"
#include "Frames.h"
#include "HostError.h"
#include "NodeRender.h"

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
	std::vector<int> Existing;         // frames not rendered again: their outputs exist (--skip-existing)
	/// With --json, a failure is kept here, beside the frames that did
	/// render, for the command to print both; otherwise it is thrown.
	std::optional<int> FailedFrame;
	std::optional<HostError> Failure;
};

/// Ends a command after its report: lists skipped and existing frames, and prints the
/// kept failure, if any, as qz prints errors. Returns the exit status.
int FinishRender(const FlowRenderResult& result);

/// The kept failure for a --json report: {"frame", "error"}.
nlohmann::ordered_json FailureJson(const FlowRenderResult& result);

/// The frames a command renders: `range` (all of it, or chunk "K/N" of it);
/// without a range, the frames on disk of the sequences in `inputs`, or one
/// render at time 0 (an empty list) when none is a sequence.
std::vector<int> FramesToRender(const std::string& range, const std::string& chunk,
                                const std::vector<std::string>& inputs = {});

/// How each save of `flow` is written over `frames` (`timeIsFrame` false: one
/// render at time 0). Throws `HostError` (usage) for a save that cannot hold
/// the frames, a bad type or compression, and for --skip-existing without a
/// save, which would take every frame for done.
std::vector<WriteSettings> SaveSettings(const Flow& flow, const std::vector<int>& frames, bool timeIsFrame,
                                        const FrameOptions& options);

/// Renders `flow` for the frames `options` asks for and writes its saves.
/// Every input file is read once per frame, every node renders once per
/// frame, and each input is lined up with its node's main input (see
/// `LineUp`). A node's output keeps its main input's file context, so saves
/// carry what that file held. With --skip-existing, frames whose saves are
/// all present and readable (`IsReadableImage`) are not rendered. Throws
/// `HostError` on the first failure (kept in the result with --json), and
/// when every frame was skipped for a missing input.
FlowRenderResult RenderFlow(const Flow& flow, const FrameOptions& options);
