#include "qz/graph/FrameJob.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>

#include "Operator.h"
#include "WorkerPool.h"

void RenderFrames(const std::vector<int>& frames, const WorkerFactory& makeWorker, const FrameJobOptions& options)
{
	if (frames.empty())
		return;
	std::atomic<size_t> done{0};
	std::mutex progressMutex;  // reports one at a time, in the order of their counts
	const auto frameDone = [&] {
		if (!options.Progress)
			return;
		std::lock_guard<std::mutex> lock(progressMutex);
		options.Progress(++done, frames.size());
	};

	std::unique_ptr<FrameWorker> first = makeWorker();
	StopIfCancelled();
	first->Render(frames[0]);
	frameDone();

	const size_t rest = frames.size() - 1;
	const size_t threads = std::min(std::max(options.Threads, 1), GetThreadCount());
	const size_t workers = first->SplitsIntoChunks() ? 1 : std::min<size_t>(threads, rest);
	if (workers <= 1)
	{
		for (size_t i = 1; i < frames.size(); ++i)
		{
			StopIfCancelled();
			first->Render(frames[i]);
			frameDone();
		}
		return;
	}

	std::atomic<size_t> next{1};
	std::atomic<bool> failed{false};
	std::exception_ptr failure;
	std::mutex failureMutex;
	auto work = [&](FrameWorker* worker) {
		try
		{
			for (size_t i = next++; i < frames.size() && !failed; i = next++)
			{
				StopIfCancelled();
				worker->Render(frames[i]);
				frameDone();
			}
		}
		catch (...)
		{
			std::lock_guard<std::mutex> lock(failureMutex);
			if (!failure)
				failure = std::current_exception();
			failed = true;
		}
	};

	// The frames go to the SDK's worker pool, which the chunks of a render
	// use as well, so frames and chunks together never keep more threads
	// busy than the pool and this one.
	std::vector<std::unique_ptr<FrameWorker>> team;
	team.push_back(std::move(first));
	for (size_t w = 1; w < workers; ++w)
		team.push_back(makeWorker());
	RunOnWorkers(static_cast<int>(workers), static_cast<int>(workers), [&](int w) { work(team[w].get()); });
	if (failure)
		std::rethrow_exception(failure);
}
