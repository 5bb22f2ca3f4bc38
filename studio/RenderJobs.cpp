// The render job: a flow's saves rendered over frames through `RenderFlow`,
// as `qz flow` renders them, on a thread of its own, followed and cancelled
// from the page.
#include "ServerImpl.h"

#include <chrono>

#include "qz/core/Error.h"
#include "qz/graph/FlowRender.h"
#include "qz/graph/Frames.h"

using namespace studio;

namespace
{
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
	return std::chrono::duration<double>(Clock::now() - start).count();
}
}

void StudioServer::Impl::ConfineSaves(const Flow& flow) const
{
	for (const FlowSave& save : flow.Saves)
		try
		{
			Confined(save.File);
		}
		catch (RequestError& e)
		{
			e.Node = save.Node;
			throw;
		}
}

StudioServer::Impl::RenderJob::~RenderJob()
{
	Cancel = true;
	if (Worker.joinable())
		Worker.join();
}

StudioServer::Impl::Answer StudioServer::Impl::StartRenderJob(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const Json& document = Member(body, "flow", &Json::is_object, "a flow object");
	const std::string range = Member(body, "frames", &Json::is_string, "a frame range").get<std::string>();
	// Every fault a render would meet before its first frame refuses it here,
	// with its reason: the flow's checks, files outside the root, the saves.
	Flow flow = ParseConfined(document, FlowFolder());
	if (flow.Saves.empty())
		throw RequestError{422, "the flow saves nothing: give a node a file to write to"};
	ConfineSaves(flow);
	FrameOptions options;
	options.Range = range;
	options.Quiet = true;
	SaveSettings(flow, ParseFrameRange(range), true, options);

	std::lock_guard<std::mutex> lock(Job.Mutex);
	if (Job.State == "running")
		throw RequestError{409, "a render is under way: cancel it or wait for its end"};
	if (Job.Worker.joinable())
		Job.Worker.join();  // ended: its state says so
	Job.State = "running";
	Job.Frames = range;
	Job.Done = 0;
	Job.Total = ParseFrameRange(range).size();
	Job.Seconds = 0;
	Job.Errors = Answer::array();
	Job.Cancel = false;
	const Clock::time_point start = Clock::now();
	Job.Worker = std::thread([this, flow = std::move(flow), options, start] {
		RenderHooks hooks;
		hooks.Cancel = &Job.Cancel;
		hooks.Progress = [this, start](size_t done, size_t total) {
			std::lock_guard<std::mutex> progress(Job.Mutex);
			Job.Done = done;
			Job.Total = total;
			Job.Seconds = SecondsSince(start);
		};
		FlowRenderResult result;
		std::optional<HostError> failure;
		try
		{
			result = RenderFlow(flow, options, hooks);
			failure = result.Failure;
		}
		catch (const HostError& e)
		{
			failure = e;
		}
		catch (const std::bad_alloc&)
		{
			failure = HostError(ErrorKind::Render, "not enough memory");
		}
		std::lock_guard<std::mutex> ended(Job.Mutex);
		Job.Seconds = SecondsSince(start);
		Job.Done = result.Frames.size();
		if (result.Cancelled)
			Job.State = "cancelled";
		else if (failure)
		{
			result.Failure = failure;
			Job.Errors.push_back(FailureJson(result));
			Job.State = "failed";
		}
		else
			Job.State = "done";
	});
	return {{"state", "running"}, {"frames", range}, {"total", Job.Total}};
}

StudioServer::Impl::Answer StudioServer::Impl::RenderJobState(const httplib::Request&, httplib::Response&)
{
	std::lock_guard<std::mutex> lock(Job.Mutex);
	// Rates of the frames finished, at the last one's end.
	const double fps = Job.Done > 0 && Job.Seconds > 0 ? Job.Done / Job.Seconds : 0;
	Answer left = nullptr;
	if (Job.State == "running" && fps > 0)
		left = (Job.Total - Job.Done) / fps;
	return {{"state", Job.State}, {"frames", Job.Frames}, {"done", Job.Done},      {"total", Job.Total},
	        {"seconds", Job.Seconds}, {"fps", fps},           {"secondsLeft", left}, {"errors", Job.Errors}};
}

StudioServer::Impl::Answer StudioServer::Impl::CancelRenderJob(const httplib::Request&, httplib::Response&)
{
	std::lock_guard<std::mutex> lock(Job.Mutex);
	if (Job.State == "running")
		Job.Cancel = true;
	return {{"state", Job.State}, {"cancelling", Job.Cancel.load()}};
}
