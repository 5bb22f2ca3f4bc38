#pragma once
// A flow rendered on a Slurm cluster as an array job, one slice of the
// frames (--chunk K/N) per task.
#include <string>
#include <vector>

#include "qz/core/Error.h"
#include "qz/core/PluginHost.h"

/// What an array job renders and asks of the cluster.
struct ArrayJob
{
	std::string FlowPath;
	std::string Range;  // --frames, required: a task cannot find the frames on disk of another machine
	int Tasks = 0;
	int Threads = 1;        // per task: its CPUs and qz's --threads
	std::string Partition;  // "" for the cluster's default
	std::string TimeLimit;  // "" for the partition's default
	WarningSink Warnings;    // for the flow's doubtful values
};

/// Checks the flow, the frames and the options, and returns the array job's
/// script: each task runs qz on its chunk with --skip-existing, so a
/// requeued task finishes the work. Throws `HostError` (usage) for a bad
/// flow or option.
std::string ArrayScript(const PluginHost& host, const ArrayJob& job);

/// Writes `script` beside the flow (FLOW.sbatch, replaced whole) and submits
/// it with `sbatch` from PATH; returns the job ID. The tasks run, and Slurm
/// writes their logs, in `workingDir`, or where sbatch is run when it is "".
/// Throws `HostError` when the script cannot be written (write) or sbatch
/// fails (render).
std::string SubmitArrayJob(const std::string& flowPath, const std::string& script, const std::string& workingDir = "");

/// One task of an array job as Slurm records it.
struct ArrayTaskState
{
	int Task = 0;          // its index in the array, from 1
	std::string State;     // PENDING, RUNNING, COMPLETED, FAILED, CANCELLED, ...
	std::string ExitCode;  // "STATUS:SIGNAL", as Slurm writes it
	std::string Reason;    // why it waits or failed; "None" when nothing holds it
};

/// Whether a task in `state` has ended: it will not run again unless requeued.
bool TaskEnded(const std::string& state);

/// Every task of array job `jobId` (as `SubmitArrayJob` returns it), in task
/// order, from `scontrol show job`: the pending tasks Slurm keeps in one
/// record are listed one by one. Throws `HostError` (usage) for an ID that
/// is not one, (render) when scontrol fails or no longer knows the job.
std::vector<ArrayTaskState> ArrayJobTasks(const std::string& jobId);
