#include "qz/farm/SlurmJob.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <vector>

#include "qz/colour/ColourConfig.h"
#include "qz/core/Error.h"
#include "qz/graph/Flow.h"
#include "qz/graph/FlowRender.h"
#include "qz/io/ImageFiles.h"

extern char** environ;

namespace
{
namespace fs = std::filesystem;

// A word for the shell, in single quotes: nothing inside is expanded.
std::string ShellQuoted(const std::string& word)
{
	std::string quoted = "'";
	for (char c : word)
		quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
	return quoted + "'";
}

// Values that go into #SBATCH lines, which sbatch splits at white space and
// does not unquote: partition names and time limits never need more.
void CheckSbatchValue(const std::string& value, const char* option)
{
	for (char c : value)
		if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("_.,:+-").find(c) == std::string::npos)
			throw HostError(ErrorKind::Usage, std::string(option) + " \"" + Excerpt(value) +
			                               "\" may hold only letters, digits and _ . , : + -");
}

// The flow's file name, in the characters a job name shows plainly.
std::string JobName(const fs::path& flow)
{
	std::string name = flow.stem().string();
	for (char& c : name)
		if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
			c = '_';
	return name.empty() ? "qz" : name;
}

std::string Script(const ArrayJob& options, const fs::path& qz, const fs::path& flow)
{
	const std::string tasks = std::to_string(options.Tasks);
	std::string script = "#!/bin/bash\n"
	                     "# Written by qz submit: each task renders its slice of the frames and\n"
	                     "# leaves alone the frames already rendered, so a requeued task finishes.\n"
	                     "#SBATCH --job-name=" +
	                     JobName(flow) + "\n#SBATCH --array=1-" + tasks + "\n#SBATCH --cpus-per-task=" +
	                     std::to_string(options.Threads) + "\n";
	if (!options.Partition.empty())
		script += "#SBATCH --partition=" + options.Partition + "\n";
	if (!options.TimeLimit.empty())
		script += "#SBATCH --time=" + options.TimeLimit + "\n";
	// A task converts colours with the configuration qz submit checked the
	// flow against, whatever its own environment holds.
	const std::string config = ColourConfigFile();
	return script + "exec " + ShellQuoted(qz.string()) + (config.empty() ? "" : " --ocio " + ShellQuoted(config)) +
	       " flow " + ShellQuoted(flow.string()) + " --frames " +
	       ShellQuoted(options.Range) + " \\\n    --chunk \"$SLURM_ARRAY_TASK_ID/" + tasks +
	       "\" --threads \"$SLURM_CPUS_PER_TASK\" --skip-existing --quiet\n";
}

struct Finished
{
	int Status = -1;  // exit status, or -1 when it did not exit
	std::string Out, Err;
};

// Runs a program found on PATH, collecting what it prints on both streams.
Finished RunProgram(const std::vector<std::string>& args)
{
	int out[2], err[2];
	if (::pipe2(out, O_CLOEXEC) != 0)
		throw HostError(ErrorKind::Render, "cannot run " + args[0] + ": " + std::strerror(errno));
	if (::pipe2(err, O_CLOEXEC) != 0)
	{
		::close(out[0]);
		::close(out[1]);
		throw HostError(ErrorKind::Render, "cannot run " + args[0] + ": " + std::strerror(errno));
	}
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
	posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
	std::vector<char*> argv;
	for (const std::string& arg : args)
		argv.push_back(const_cast<char*>(arg.c_str()));
	argv.push_back(nullptr);
	pid_t child = 0;
	const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	::close(out[1]);
	::close(err[1]);

	Finished finished;
	pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	std::string* text[2] = {&finished.Out, &finished.Err};
	for (int open = 2; spawned == 0 && open > 0;)
	{
		if (::poll(streams, 2, -1) < 0)
		{
			if (errno == EINTR)
				continue;
			break;
		}
		for (int i = 0; i < 2; ++i)
			if (streams[i].fd >= 0 && streams[i].revents)
			{
				char buffer[4096];
				const ssize_t got = ::read(streams[i].fd, buffer, sizeof buffer);
				if (got > 0)
					text[i]->append(buffer, static_cast<size_t>(got));
				else if (got == 0 || errno != EINTR)
				{
					streams[i].fd = -1;
					--open;
				}
			}
	}
	::close(out[0]);
	::close(err[0]);
	if (spawned != 0)
		throw HostError(ErrorKind::Render, "cannot run " + args[0] + ": " + std::strerror(spawned));
	int status = 0;
	while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
	{
	}
	finished.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	return finished;
}

// The last line a program printed, for a one-line error.
std::string LastLine(std::string text)
{
	while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
		text.pop_back();
	return text.substr(text.find_last_of('\n') + 1);
}

// The value of `key` in a record of `scontrol -o`: KEY=VALUE fields split at spaces.
std::string FieldOf(const std::string& record, const std::string& key)
{
	std::istringstream fields(record);
	for (std::string field; fields >> field;)
		if (field.compare(0, key.size() + 1, key + "=") == 0)
			return field.substr(key.size() + 1);
	return "";
}

int TaskNumber(const std::string& text, const std::string& record)
{
	size_t used = 0;
	int number = 0;
	try
	{
		number = std::stoi(text, &used);
	}
	catch (const std::exception&)
	{
		used = 0;
	}
	if (used == 0 || used != text.size() || number < 0)
		throw HostError(ErrorKind::Render, "scontrol gave a task index qz cannot read: " + Excerpt(record));
	return number;
}

// The tasks an ArrayTaskId names: "3", or the pending ones Slurm keeps in one
// record, "2-12", "2-12:2", "1,4-6", each perhaps with a "%LIMIT" of tasks
// run at once.
std::vector<int> TasksOf(std::string ids, const std::string& record)
{
	ids = ids.substr(0, ids.find('%'));
	std::vector<int> tasks;
	std::istringstream parts(ids);
	for (std::string part; std::getline(parts, part, ',');)
	{
		const size_t dash = part.find('-'), colon = part.find(':');
		const int first = TaskNumber(part.substr(0, std::min(dash, colon)), record);
		const int last = dash == std::string::npos ? first : TaskNumber(part.substr(dash + 1, colon - dash - 1), record);
		const int step = colon == std::string::npos ? 1 : TaskNumber(part.substr(colon + 1), record);
		if (last < first || step < 1 || last - first > 1000000)
			throw HostError(ErrorKind::Render, "scontrol gave task indices qz cannot read: " + Excerpt(record));
		for (int task = first; task <= last; task += step)
			tasks.push_back(task);
	}
	return tasks;
}
}

std::string ArrayScript(const PluginHost& host, const ArrayJob& options)
{
	if (options.Tasks < 1)
		throw HostError(ErrorKind::Usage, "--tasks must be 1 or more, not " + std::to_string(options.Tasks));
	if (options.Threads < 1)
		throw HostError(ErrorKind::Usage, "--threads must be 1 or more for a task, not " + std::to_string(options.Threads));
	CheckSbatchValue(options.Partition, "--partition");
	CheckSbatchValue(options.TimeLimit, "--time");
	const std::vector<int> frames = ParseFrameRange(options.Range);
	if (static_cast<size_t>(options.Tasks) > frames.size())
		throw HostError(ErrorKind::Usage, std::to_string(options.Tasks) + " tasks for " + std::to_string(frames.size()) +
		                               " frames would leave tasks with nothing to render");
	// Everything a task would refuse is refused here, before the job queues.
	const Flow flow = LoadFlow(host, options.FlowPath, options.Warnings);
	FrameOptions taskOptions;
	taskOptions.SkipExisting = true;
	SaveSettings(flow, frames, true, taskOptions);

	std::error_code ec;
	const fs::path flowPath = fs::absolute(options.FlowPath, ec).lexically_normal();
	const fs::path qz = fs::read_symlink("/proc/self/exe", ec);
	if (ec)
		throw HostError(ErrorKind::Render, "cannot find the qz executable: " + ec.message());
	return Script(options, qz, flowPath);
}

std::string SubmitArrayJob(const std::string& flowPath, const std::string& script, const std::string& workingDir)
{
	std::error_code ec;
	const fs::path scriptPath = fs::absolute(flowPath, ec).lexically_normal().replace_extension(".sbatch");
	WriteWhole(scriptPath, script);
	std::vector<std::string> args = {"sbatch", "--parsable"};
	if (!workingDir.empty())
		args.push_back("--chdir=" + workingDir);
	args.push_back(scriptPath.string());
	const Finished sbatch = RunProgram(args);
	if (sbatch.Status != 0)
		throw HostError(ErrorKind::Render, "sbatch refused " + scriptPath.string() + ": " +
		                                      (sbatch.Err.empty() ? "exit status " + std::to_string(sbatch.Status)
		                                                          : LastLine(sbatch.Err)));
	// --parsable prints "JOBID" or "JOBID;CLUSTER".
	const std::string reply = LastLine(sbatch.Out);
	return reply.substr(0, reply.find(';'));
}

bool TaskEnded(const std::string& state)
{
	static const char* const ended[] = {"COMPLETED", "FAILED",        "CANCELLED", "TIMEOUT",  "NODE_FAIL",
	                                    "PREEMPTED", "OUT_OF_MEMORY", "BOOT_FAIL", "DEADLINE", "REVOKED"};
	// scontrol writes a cancelled job's state as "CANCELLED" and sacct as "CANCELLED by UID".
	const std::string word = state.substr(0, state.find(' '));
	for (const char* name : ended)
		if (word == name)
			return true;
	return false;
}

std::vector<ArrayTaskState> ArrayJobTasks(const std::string& jobId)
{
	if (jobId.empty() || jobId.size() > 20 || jobId.find_first_not_of("0123456789") != std::string::npos)
		throw HostError(ErrorKind::Usage, "\"" + Excerpt(jobId) + "\" is not a Slurm job ID");
	const Finished scontrol = RunProgram({"scontrol", "--oneliner", "show", "job", jobId});
	if (scontrol.Status != 0)
		throw HostError(ErrorKind::Render, "scontrol cannot tell job " + jobId + ": " +
		                                      (scontrol.Err.empty() ? "exit status " + std::to_string(scontrol.Status)
		                                                            : LastLine(scontrol.Err)));
	std::map<int, ArrayTaskState> byTask;
	std::istringstream records(scontrol.Out);
	for (std::string record; std::getline(records, record);)
	{
		if (FieldOf(record, "JobId").empty())
			continue;
		ArrayTaskState state;
		state.State = FieldOf(record, "JobState");
		state.ExitCode = FieldOf(record, "ExitCode");
		state.Reason = FieldOf(record, "Reason");
		const std::string ids = FieldOf(record, "ArrayTaskId");
		for (int task : ids.empty() ? std::vector<int>{0} : TasksOf(ids, record))
		{
			state.Task = task;
			byTask[task] = state;
		}
	}
	if (byTask.empty())
		throw HostError(ErrorKind::Render, "scontrol knows no job " + jobId);
	std::vector<ArrayTaskState> tasks;
	for (auto& [task, state] : byTask)
		tasks.push_back(std::move(state));
	return tasks;
}
