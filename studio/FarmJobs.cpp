// Farm jobs from the page: a saved flow submitted to Slurm as `qz submit`
// submits it, and its tasks' states followed until they end.
#include "ServerImpl.h"

#include <filesystem>
#include <fstream>

#include "qz/farm/SlurmJob.h"
#include "qz/graph/Flow.h"

namespace fs = std::filesystem;
using namespace studio;

StudioServer::Impl::Answer StudioServer::Impl::SubmitFarmJob(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const std::string path = FlowFileAsked(body);
	// The farm's tasks read and write what the flow names: inside the root,
	// as every file the studio touches.
	std::ifstream in(path);
	const Flow confined = ParseConfined(ReadFlowDocument(in, RelativeToRoot(path)), fs::path(path).parent_path().string());
	if (confined.Saves.empty())
		throw RequestError{422, "the flow saves nothing: give a node a file to write to"};
	ConfineSaves(confined);

	ArrayJob job;
	job.FlowPath = path;
	job.Range = Member(body, "frames", &Json::is_string, "a frame range").get<std::string>();
	job.Tasks = body.contains("tasks") ? IntMember(body, "tasks", "a whole number") : 1;
	job.Threads = body.contains("threads") ? IntMember(body, "threads", "a whole number") : 1;
	job.Partition = TextMember(body, "partition", "a text");
	job.TimeLimit = TextMember(body, "time", "a text");
	std::vector<std::string> warnings;
	job.Warnings = [&warnings](const std::string& warning) { warnings.push_back(warning); };
	const std::string script = ArrayScript(Host, job);
	// Slurm's logs of the tasks go beside the flow, inside the root.
	const std::string id = SubmitArrayJob(path, script, fs::path(path).parent_path().string());
	{
		std::lock_guard<std::mutex> lock(FarmMutex);
		FarmJobs.insert(id);
	}
	return {{"job", id},
	        {"script", RelativeToRoot(fs::path(path).replace_extension(".sbatch").string())},
	        {"tasks", job.Tasks},
	        {"warnings", warnings}};
}

StudioServer::Impl::Answer StudioServer::Impl::FarmJobState(const httplib::Request& request, httplib::Response&)
{
	const std::string id = request.get_param_value("job");
	{
		std::lock_guard<std::mutex> lock(FarmMutex);
		if (!FarmJobs.count(id))
			throw RequestError{404, "this studio submitted no job \"" + Excerpt(id) + "\""};
	}
	Answer tasks = Answer::array();
	bool ended = true;
	for (const ArrayTaskState& task : ArrayJobTasks(id))
	{
		tasks.push_back({{"task", task.Task}, {"state", task.State}, {"exitCode", task.ExitCode}, {"reason", task.Reason}});
		ended = ended && TaskEnded(task.State);
	}
	return {{"job", id}, {"tasks", tasks}, {"ended", ended}};
}
