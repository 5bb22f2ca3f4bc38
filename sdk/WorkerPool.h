#pragma once
// The process's worker threads: started once, at the first parallel run,
// and shared by every render (the chunks of a frame and the frames of a
// sequence alike).
#include <atomic>
#include <functional>
#include <stdexcept>

/// Calls `task(i)` once for every i in 0 .. n-1 and returns when all have
/// returned. The calling thread takes part, together with up to `threads` - 1
/// of the pool's threads that are idle, and no more than the caller's
/// `GetThreadCount()` in all; with 1 thread (or n 1) the calls run in order
/// on the calling thread alone. The tasks see the caller's `GetThreadCount()`
/// on every thread, so a render's bound (`RenderThreads`) holds in its nested
/// runs too.
///
/// At the start of a run the pool grows or shrinks to one thread fewer than
/// the largest of the process default (`GetDefaultThreadCount()`) and the
/// bounds of the runs in progress: it never shrinks under a run, and a run
/// under a larger bound than the default grows it until a later run at the
/// default takes it back.
///
/// Indices are handed out in batches that start large (a share of what is
/// left for each thread) and shrink to single indices towards the end, so
/// that cheap tasks pay for few hand-outs and costly ones still even out.
/// A task may itself call `RunOnWorkers`: its thread works through the inner
/// run, helped by whichever pool threads are idle, so nothing waits on a
/// thread that is waiting itself, and no more than the pool's threads and
/// the callers are ever busy.
///
/// The first exception that leaves a task, on any thread, ends the run: no
/// thread starts another task, the tasks other threads have started finish,
/// and once every helper has left the run the exception is rethrown here, on
/// the calling thread, as it was thrown (a `std::bad_alloc` stays one).
/// Before each task it stops as a cancelled render does (`StopIfCancelled`).
void RunOnWorkers(int n, int threads, const std::function<void(int)>& task);

/// Thrown by `RunOnWorkers` in place of a task once the cancel flag in force
/// (`RenderCancel`) is raised: a render stops between its chunks (rows,
/// spans), and either finishes whole or ends with this.
class RenderCancelled : public std::runtime_error
{
public:
	RenderCancelled() : std::runtime_error("render cancelled") {}
};

/// Makes the renders of the calling thread stop with `RenderCancelled`
/// once `*flag` is true, while the scope lasts: `RunOnWorkers` checks the
/// flag before every task, on every thread of the run. A null flag cancels
/// nothing. Scopes nest: the flag in force before comes back at the end.
class RenderCancel
{
public:
	explicit RenderCancel(const std::atomic<bool>* flag);
	~RenderCancel();
	RenderCancel(const RenderCancel&) = delete;
	RenderCancel& operator=(const RenderCancel&) = delete;

private:
	const std::atomic<bool>* Previous;
};

/// Throws `RenderCancelled` when the flag in force on this thread is raised.
void StopIfCancelled();

/// Threads the pool has started since the process began: runs at an
/// unchanged thread count start none.
long WorkerThreadsStarted();
