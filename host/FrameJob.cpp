#include "FrameJob.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>

#include "Operator.h"
#include "WorkerPool.h"

namespace
{
// "[########------------]  12/100 frames  3.2 fps  0:27 left" on one line of
// stderr, redrawn in place.
class ProgressLine
{
public:
	ProgressLine(size_t total, bool shown) : Total(total), Shown(shown), Start(std::chrono::steady_clock::now()) {}

	void FrameDone()
	{
		const size_t done = ++Done;
		if (!Shown)
			return;
		std::lock_guard<std::mutex> lock(Mutex);
		const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
		const double fps = seconds > 0 ? done / seconds : 0.0;
		const long left = fps > 0 ? static_cast<long>((Total - done) / fps + 0.5) : 0;
		constexpr int Width = 24;
		const int filled = static_cast<int>(Width * done / Total);
		std::fprintf(stderr, "\r[%s%s] %zu/%zu frames  %.1f fps  %ld:%02ld left ",
		             std::string(filled, '#').c_str(), std::string(Width - filled, '-').c_str(), done, Total, fps,
		             left / 60, left % 60);
		if (done == Total)
			std::fputc('\n', stderr);
		std::fflush(stderr);
	}

private:
	size_t Total;
	bool Shown;
	std::chrono::steady_clock::time_point Start;
	std::atomic<size_t> Done{0};
	std::mutex Mutex;
};
}

void RenderFrames(const std::vector<int>& frames, const WorkerFactory& makeWorker, const FrameJobOptions& options)
{
	if (frames.empty())
		return;
	ProgressLine progress(frames.size(), options.Progress && frames.size() > 1 && isatty(STDERR_FILENO));

	std::unique_ptr<FrameWorker> first = makeWorker();
	first->Render(frames[0]);
	progress.FrameDone();

	const size_t rest = frames.size() - 1;
	const size_t threads = std::min(std::max(options.Threads, 1), GetThreadCount());
	const size_t workers = first->SplitsIntoChunks() ? 1 : std::min<size_t>(threads, rest);
	if (workers <= 1)
	{
		for (size_t i = 1; i < frames.size(); ++i)
		{
			first->Render(frames[i]);
			progress.FrameDone();
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
				worker->Render(frames[i]);
				progress.FrameDone();
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
