#include "WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Operator.h"

namespace
{
std::atomic<long> ThreadsStarted{0};
thread_local const std::atomic<bool>* CancelFlag = nullptr;

// One parallel call of RunOnWorkers, on its caller's stack while it lasts.
class ParallelRun
{
public:
	ParallelRun(const std::function<void(int)>& task, int count, int threads, int bound)
		: Threads(threads), Bound(bound), Cancel(CancelFlag), Task(task), Count(count)
	{
	}

	bool HasWork() const { return Next.load(std::memory_order_relaxed) < Count; }

	/// Runs batches until none is left. The first task to throw, on any
	/// thread, keeps its exception for the caller and ends the run: no
	/// thread starts another task, and those already started finish.
	void Work() noexcept
	{
		try
		{
			int begin, end;
			while (Take(begin, end))
				for (int i = begin; i < end && !Failed.load(std::memory_order_relaxed); ++i)
				{
					StopIfCancelled();
					Task(i);
				}
		}
		catch (...)
		{
			if (!Failed.exchange(true))
				Failure = std::current_exception();
			Next.store(Count, std::memory_order_relaxed);
		}
	}

	/// The caller's side, once no other thread works in the run: rethrows
	/// the exception a task left with.
	void RethrowFailure() const
	{
		if (Failure)
			std::rethrow_exception(Failure);
	}

	const int Threads;  // the caller included
	const int Bound;    // the caller's GetThreadCount(), seen by the run's tasks on every thread
	const std::atomic<bool>* const Cancel;  // the caller's cancel flag, in force on every thread of the run
	int Helpers = 0;    // pool threads working in it now; guarded by the pool's mutex

private:
	// A quarter of each thread's share of the indices left, at least one:
	// few hand-outs while much is left, single indices at the end.
	bool Take(int& begin, int& end)
	{
		int start = Next.load(std::memory_order_relaxed);
		while (start < Count)
		{
			const int size = std::max(1, (Count - start) / (4 * Threads));
			if (Next.compare_exchange_weak(start, start + size, std::memory_order_relaxed))
			{
				begin = start;
				end = start + size;
				return true;
			}
		}
		return false;
	}

	const std::function<void(int)>& Task;
	const int Count;
	std::atomic<int> Next{0};
	std::atomic<bool> Failed{false};
	std::exception_ptr Failure;  // written by the thread that set Failed
};

class WorkerPool
{
public:
	static WorkerPool& Shared()
	{
		static WorkerPool pool;
		return pool;
	}

	~WorkerPool()
	{
		{
			std::lock_guard<std::mutex> lock(Mutex);
			Stopping = true;
		}
		Wake.notify_all();
		for (auto* workers : {&Active, &Retired})
			for (auto& worker : *workers)
				worker->Thread.join();
	}

	/// Posts `run` for the idle threads, works in it, and returns once no
	/// thread is working in it any more: their writes are then visible here.
	void Execute(ParallelRun& run)
	{
		std::vector<std::unique_ptr<Worker>> ended;
		{
			std::lock_guard<std::mutex> lock(Mutex);
			// Threads for the largest bound in force, so that no run in
			// progress loses the helpers its bound counts on.
			int largest = std::max(GetDefaultThreadCount(), run.Bound);
			for (const ParallelRun* posted : Runs)
				largest = std::max(largest, posted->Bound);
			Follow(largest - 1, ended);
			Runs.push_back(&run);
		}
		Wake.notify_all();
		for (auto& worker : ended)
			worker->Thread.join();
		run.Work();
		std::unique_lock<std::mutex> lock(Mutex);
		Runs.erase(std::find(Runs.begin(), Runs.end(), &run));
		Left.wait(lock, [&] { return run.Helpers == 0; });
	}

private:
	struct Worker
	{
		std::thread Thread;
		bool Retiring = false;  // guarded by the pool's mutex
		std::atomic<bool> Ended{false};
	};

	// Grows or shrinks the pool to `helpers` threads. Threads taken out finish
	// the run they are in and end; those that have ended are handed to the
	// caller to join outside the lock. Called with the mutex held.
	void Follow(int helpers, std::vector<std::unique_ptr<Worker>>& ended)
	{
		helpers = std::max(helpers, 0);
		while (static_cast<int>(Active.size()) > helpers)
		{
			Active.back()->Retiring = true;
			Retired.push_back(std::move(Active.back()));
			Active.pop_back();
			Wake.notify_all();
		}
		Active.reserve(helpers);
		while (static_cast<int>(Active.size()) < helpers)
		{
			auto worker = std::make_unique<Worker>();
			worker->Thread = std::thread(&WorkerPool::Serve, this, worker.get());
			Active.push_back(std::move(worker));
			++ThreadsStarted;
		}
		auto firstEnded = std::stable_partition(Retired.begin(), Retired.end(),
		                                        [](const auto& worker) { return !worker->Ended; });
		std::move(firstEnded, Retired.end(), std::back_inserter(ended));
		Retired.erase(firstEnded, Retired.end());
	}

	// A run with work left and room for one more thread. Called with the mutex held.
	ParallelRun* OpenRun() const
	{
		for (ParallelRun* run : Runs)
			if (run->Helpers < run->Threads - 1 && run->HasWork())
				return run;
		return nullptr;
	}

	void Serve(Worker* self)
	{
		std::unique_lock<std::mutex> lock(Mutex);
		for (;;)
		{
			ParallelRun* run = nullptr;
			Wake.wait(lock, [&] { return Stopping || self->Retiring || (run = OpenRun()) != nullptr; });
			if (!run)
				break;
			++run->Helpers;
			lock.unlock();
			{
				RenderThreads bound(run->Bound);
				RenderCancel cancel(run->Cancel);
				run->Work();
			}
			lock.lock();
			--run->Helpers;
			Left.notify_all();
		}
		self->Ended = true;
	}

	std::mutex Mutex;
	std::condition_variable Wake;  // for the pool's threads: a run was posted, or they are to end
	std::condition_variable Left;  // for callers: a thread left a run
	std::vector<std::unique_ptr<Worker>> Active, Retired;
	std::vector<ParallelRun*> Runs;
	bool Stopping = false;
};
}

void RunOnWorkers(int n, int threads, const std::function<void(int)>& task)
{
	threads = std::min({threads, n, GetThreadCount()});
	if (threads <= 1)
	{
		for (int i = 0; i < n; ++i)
		{
			StopIfCancelled();
			task(i);
		}
		return;
	}
	ParallelRun run(task, n, threads, GetThreadCount());
	WorkerPool::Shared().Execute(run);
	run.RethrowFailure();
}

RenderCancel::RenderCancel(const std::atomic<bool>* flag) : Previous(CancelFlag)
{
	CancelFlag = flag;
}

RenderCancel::~RenderCancel()
{
	CancelFlag = Previous;
}

void StopIfCancelled()
{
	if (CancelFlag && CancelFlag->load(std::memory_order_relaxed))
		throw RenderCancelled();
}

long WorkerThreadsStarted()
{
	return ThreadsStarted;
}
