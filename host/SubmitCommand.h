#pragma once
// `qz submit`: renders a flow on a Slurm cluster as an array job, one slice
// of the frames (--chunk K/N) per task.
#include <ostream>
#include <string>

#include "PluginHost.h"

/// What `qz submit` was asked to do.
struct SubmitOptions
{
	std::string FlowPath;
	std::string Range;  // --frames, required: a task cannot find the frames on disk of another machine
	int Tasks = 0;
	int Threads = 1;        // per task: its CPUs and qz's --threads
	std::string Partition;  // "" for the cluster's default
	std::string TimeLimit;  // "" for the partition's default
	bool DryRun = false;
};

/// Checks the flow, the frames and the options, then writes the array job's
/// script beside the flow (FLOW.sbatch, replaced whole) and submits it with
/// `sbatch` from PATH, printing the job ID to `out`; with `DryRun`, prints
/// the script instead and writes and submits nothing. Each task runs this qz
/// on its chunk with --skip-existing, so a requeued task finishes the work.
/// Throws `HostError`: usage for a bad flow or option, render failed when
/// the script cannot be written or sbatch fails.
int SubmitCommand(const PluginHost& host, const SubmitOptions& options, std::ostream& out);
