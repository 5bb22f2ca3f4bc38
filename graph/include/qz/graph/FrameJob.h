#pragma once
// Renders a list of frames, in parallel across workers when the work allows.
#include <functional>
#include <memory>
#include <string>
#include <vector>

/// One worker's tools: renders whole frames, one at a time.
class FrameWorker
{
public:
	virtual ~FrameWorker() = default;
	virtual void Render(int frame) = 0;
	/// True once a render split its work into chunks on the worker pool; such
	/// work already uses every thread, so frames then render one after another.
	virtual bool SplitsIntoChunks() const = 0;
};

using WorkerFactory = std::function<std::unique_ptr<FrameWorker>()>;

struct FrameJobOptions
{
	int Threads = 1;        // workers at most; frames in parallel only for unchunked work
	/// Called after each frame, one call at a time: frames done, frames in all.
	std::function<void(size_t done, size_t total)> Progress;
};

/// Renders `frames`: the first on one worker, then the rest on up to
/// `Threads` workers (each made by `makeWorker`, and no more than
/// `GetThreadCount()`), run on the SDK's worker pool, unless the first split
/// into chunks. Stops at the first failure and rethrows it once every worker has
/// stopped.
void RenderFrames(const std::vector<int>& frames, const WorkerFactory& makeWorker, const FrameJobOptions& options);
