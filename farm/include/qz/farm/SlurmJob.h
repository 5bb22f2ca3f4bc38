#pragma once
// A flow rendered on a Slurm cluster as an array job, one slice of the
// frames (--chunk K/N) per task.
#include <string>

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
/// it with `sbatch` from PATH; returns the job ID. Throws `HostError` when
/// the script cannot be written (write) or sbatch fails (render).
std::string SubmitArrayJob(const std::string& flowPath, const std::string& script);
