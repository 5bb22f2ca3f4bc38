#pragma once
// Renders a flow over frames and writes its saves: `qz run` (a flow of one
// node), `qz flow` and each task of a farm job, through the flow evaluator.
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "qz/core/Error.h"
#include "qz/graph/Flow.h"
#include "qz/graph/Frames.h"
#include "qz/graph/NodeRender.h"
#include "qz/graph/OutputCache.h"

struct RenderedFrame
{
	std::vector<std::string> Saved;
	std::vector<std::pair<std::string, ReadoutList>> Readouts;  // by node, in render order
};

struct FlowRenderResult
{
	bool TimeIsFrame = false;  // false: one render at time 0
	bool EmptyChunk = false;   // the farm chunk asked for holds no frames: nothing to do
	bool Cancelled = false;    // stopped by `RenderHooks::Cancel`, with a render failure saying so
	std::map<int, RenderedFrame> Frames;
	std::vector<std::string> Skipped;  // the first missing file of each skipped frame
	std::vector<int> Existing;         // frames not rendered again: their outputs exist (--skip-existing)
	/// The first failure of a render, kept beside the frames that did
	/// render, and the frame it happened at, if any.
	std::optional<int> FailedFrame;
	std::optional<HostError> Failure;
};

/// The kept failure for a --json report: {"frame", "error"}.
nlohmann::ordered_json FailureJson(const FlowRenderResult& result);

/// What a render reports to its caller as it goes, and the cache it keeps
/// what repeats from frame to frame in.
struct RenderHooks
{
	/// Called after each frame: frames done, frames in all.
	std::function<void(size_t done, size_t total)> Progress;
	/// Node outputs and files whose hash repeats over the frames (a still
	/// texture, a kernel image) are kept here and read or rendered once; null
	/// for a cache of `DefaultCacheBytes` of this render's own.
	OutputCache* Cache = nullptr;
	/// Raised, stops the render between frames and within them between
	/// chunks: the result is then `Cancelled`, and no partial file is left.
	const std::atomic<bool>* Cancel = nullptr;
};

/// The cache of a render that is given none.
constexpr size_t DefaultCacheBytes = size_t(2) << 30;

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
/// Every node is evaluated at every frame, each input lined up with its
/// node's main input (see `LineUp`); what does not change from frame to
/// frame is read and rendered once. A node's output keeps its main input's
/// file context, so saves carry what that file held. With --skip-existing,
/// frames whose saves are all present and readable (`IsReadableImage`) are
/// not rendered. Throws `HostError` for a fault found before rendering (a
/// bad option or save); the first failure of a frame, and a render where
/// every frame was skipped for a missing input, are kept in the result.
FlowRenderResult RenderFlow(const Flow& flow, const FrameOptions& options, const RenderHooks& hooks = {});
