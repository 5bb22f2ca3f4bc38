#include "SubmitCommand.h"

#include "Report.h"

int SubmitCommand(const PluginHost& host, const SubmitOptions& options, std::ostream& out)
{
	ArrayJob job = options.Job;
	job.Warnings = PrintWarning;
	const std::string script = ArrayScript(host, job);
	if (options.DryRun)
		out << script;
	else
		out << SubmitArrayJob(job.FlowPath, script) << "\n";
	return ExitOk;
}
