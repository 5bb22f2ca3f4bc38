#pragma once
// `qz submit`: renders a flow on a Slurm cluster as an array job.
#include <ostream>

#include "qz/core/PluginHost.h"
#include "qz/farm/SlurmJob.h"

struct SubmitOptions
{
	ArrayJob Job;
	bool DryRun = false;
};

/// Checks the flow and the options, then writes and submits the array job
/// (see `SubmitArrayJob`), printing the job ID to `out`; with `DryRun`,
/// prints the script instead and writes and submits nothing.
int SubmitCommand(const PluginHost& host, const SubmitOptions& options, std::ostream& out);
