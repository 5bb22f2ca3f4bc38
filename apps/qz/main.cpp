// qz: a command-line compositing host. Loads the tool plug-ins and renders
// image files through them.
#include <CLI/CLI.hpp>

#include <charconv>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "FlowCommand.h"
#include "Report.h"
#include "RunCommand.h"
#include "StudioCommand.h"
#include "SubmitCommand.h"
#include "qz/colour/ColourConfig.h"
#include "qz/core/Describe.h"
#include "qz/core/Error.h"
#include "qz/core/PluginHost.h"
#include "qz/demo/Demo.h"
#include "qz/io/ImageFiles.h"

namespace
{
const Registry* FindToolOrFail(const PluginHost& host, const std::string& name)
{
	const Registry* tool = host.FindTool(name);
	if (!tool)
		throw HostError(ErrorKind::Usage, "unknown tool \"" + name + "\" (qz list shows the tools)");
	return tool;
}

// Option values checked as they are parsed, so a bad one is a usage error
// before anything loads. An empty value is never meant: it is what an unset
// variable of a farm's task script gives, and would otherwise quietly mean
// "all frames" or "no output".
const CLI::Validator NotEmpty([](std::string& value) { return value.empty() ? "must not be empty" : ""; }, "");
const CLI::Validator PathAfterEquals(
	[](std::string& value) {
		const size_t equals = value.find('=');
		const bool noPath = equals != std::string::npos && equals + 1 == value.size();
		return noPath ? "\"" + Excerpt(value) + "\" names no file" : "";
	},
	"");
const CLI::Validator ThreadCount(
	[](std::string& value) {
		int threads = 0;
		const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), threads);
		return ec == std::errc() && end == value.data() + value.size() && threads >= 0
		           ? ""
		           : "\"" + Excerpt(value) + "\" is no thread count; give 0 for one per core, or more";
	},
	"");

void AddFrameOptions(CLI::App* command, FrameOptions& options, int& threads)
{
	command->add_option("--frames", options.Range, "frames to render: A-B, A-B:STEP, lists such as 1-10,20")
		->check(NotEmpty);
	command->add_option("--chunk", options.Chunk, "render only slice K of N of the frames: K/N")->check(NotEmpty);
	command->add_flag("--skip-missing", options.SkipMissing, "render the frames whose inputs exist, list the others");
	command->add_flag("--skip-existing", options.SkipExisting,
	                  "leave alone the frames whose outputs are all present and readable");
	command->add_flag("--json", options.Json, "print the result as JSON");
	command->add_flag("-q,--quiet", options.Quiet, "no progress bar");
	command->add_option("--threads", threads, "worker threads (0: one per core)")->check(ThreadCount);
	command->add_option("-d,--data-type", options.DataType,
	                    "written type: uint8, uint16, half or float (default: the main input file's)");
	command->add_option("--compression", options.Compression,
	                    "EXR or TIFF compression NAME[:LEVEL] (default: the main input file's)");
}

// A render stopped by a signal leaves no temporary file behind, then ends
// as the signal would have ended it.
void RemoveTemporaryFilesAndStop(int signal)
{
	RemoveTemporaryFiles();
	std::signal(signal, SIG_DFL);
	std::raise(signal);
}
}

int main(int argc, char** argv)
{
	CLI::App app("qz: renders images through the QZ tools", "qz");
	app.require_subcommand(1);
	int threads = 0;
	app.add_option("--threads", threads, "worker threads for a render (0: one per core)")->check(ThreadCount);

	std::string ocio;
	app.add_option("--ocio", ocio, "the OpenColorIO configuration (default: $OCIO, else qz's own)")->check(NotEmpty);

	bool colourJson = false;
	CLI::App* colorspaces =
		app.add_subcommand("colorspaces", "list the colour configuration's spaces, roles, displays, views and looks");
	colorspaces->add_flag("--json", colourJson, "print JSON");

	bool listJson = false;
	CLI::App* list = app.add_subcommand("list", "list the registered tools in registration order");
	list->add_flag("--json", listJson, "print JSON");

	std::string infoTool;
	bool infoJson = false;
	CLI::App* info = app.add_subcommand("info", "show a tool's control page");
	info->add_option("TOOL", infoTool, "registry name, class ID, short name or class name")->required();
	info->add_flag("--json", infoJson, "print JSON");

	RunOptions run;
	CLI::App* runCommand = app.add_subcommand("run", "render one frame through a tool");
	runCommand->add_option("TOOL", run.Tool, "registry name, class ID, short name or class name")->required();
	runCommand->add_option("-i,--input", run.Images, "connect an image input: ID=PATH")->check(PathAfterEquals);
	runCommand->add_option("-s,--set", run.Values, "set an input: ID=NUMBER or ID=BUTTON; animated: ID=FRAME:VALUE[:INTERPOLATION],... (keys), "
	                       "ID=expr:FORMULA (of frame, time, fps) or ID={JSON as in a flow file}");
	runCommand->add_option("-o,--output", run.OutputPath, "write the output image (format by extension)")
		->check(NotEmpty);
	runCommand->add_option("--colorspace", run.ColorSpace,
	                       "convert the output's R, G and B from scene_linear to this colour space, and record it")
		->check(NotEmpty);
	AddFrameOptions(runCommand, run.Frames, threads);

	FlowOptions flow;
	CLI::App* flowCommand = app.add_subcommand("flow", "render a flow of several tools from a JSON file");
	flowCommand->add_option("FILE", flow.Path, "the flow file")->required();
	AddFrameOptions(flowCommand, flow.Frames, threads);

	SubmitOptions submit;
	CLI::App* submitCommand = app.add_subcommand("submit", "render a flow on a Slurm cluster as an array job");
	submitCommand->add_option("FILE", submit.Job.FlowPath, "the flow file")->required();
	submitCommand->add_option("--frames", submit.Job.Range, "frames to render: A-B, A-B:STEP, lists")
		->required()
		->check(NotEmpty);
	submitCommand->add_option("--tasks", submit.Job.Tasks, "array tasks, each rendering its slice")->required();
	submitCommand->add_option("--threads", submit.Job.Threads, "CPUs and worker threads per task (default 1)");
	submitCommand->add_option("--partition", submit.Job.Partition, "Slurm partition")->check(NotEmpty);
	submitCommand->add_option("--time", submit.Job.TimeLimit, "time limit per task, as sbatch takes it")->check(NotEmpty);
	submitCommand->add_flag("--dry-run", submit.DryRun, "print the job script; write and submit nothing");

	StudioOptions studio;
	CLI::App* studioCommand = app.add_subcommand("studio", "edit and preview flows in a browser, served on this machine");
	studioCommand->add_option("FLOW", studio.FlowPath, "the flow file to open");
	studioCommand->add_option("--root", studio.Root, "the folder files are read and written in (default: the flow's)")
		->check(NotEmpty);
	studioCommand->add_option("--port", studio.Port, "the port (default 0: one the system picks)")
		->check(CLI::Range(0, 65535));
	studioCommand->add_option("--listen", studio.Listen, "the address to listen on (default 127.0.0.1)")
		->check(NotEmpty);

	std::string demoOut = "demo-out";
	CLI::App* demo = app.add_subcommand("demo", "render the built-in demo scene");
	demo->add_option("--out", demoOut, "output folder");
	demo->add_option("--threads", threads, "worker threads for a render (0: one per core)")
		->check(ThreadCount);

	try
	{
		app.parse(argc, argv);
	}
	catch (const CLI::CallForHelp& e)
	{
		return app.exit(e);
	}
	catch (const CLI::CallForAllHelp& e)
	{
		return app.exit(e);
	}
	catch (const CLI::ParseError& e)
	{
		PrintError(std::string(e.what()) + " (qz --help shows the options)");
		return ExitUsage;
	}

	// The image library's worker threads stop before the process ends, however it ends.
	struct StopFileThreadsOnExit
	{
		~StopFileThreadsOnExit() { StopFileThreads(); }
	} stopFileThreads;
	try
	{
		SetThreadCount(threads);
		// Compression in the image libraries runs on as many threads as the render.
		SetFileThreads(GetThreadCount());
		for (int signal : {SIGINT, SIGTERM, SIGHUP})
			std::signal(signal, RemoveTemporaryFilesAndStop);
		UseColourConfig(ocio);
		if (*colorspaces)
		{
			const nlohmann::ordered_json config = DescribeColourConfig();
			if (colourJson)
				std::cout << config.dump(2) << "\n";
			else
				PrintColourConfig(config, std::cout);
			return ExitOk;
		}
		PluginHost host(PluginHost::DefaultDirectories(), PrintWarning);
		if (*list)
		{
			nlohmann::ordered_json tools = DescribeTools(host);
			if (listJson)
				std::cout << tools.dump(2) << "\n";
			else
				PrintTools(tools, std::cout);
		}
		else if (*info)
		{
			nlohmann::ordered_json tool = DescribeTool(host, FindToolOrFail(host, infoTool));
			if (infoJson)
				std::cout << tool.dump(2) << "\n";
			else
				PrintTool(tool, std::cout);
		}
		else if (*runCommand)
		{
			run.Frames.Threads = threads;
			return RunCommand(host, run, std::cout);
		}
		else if (*flowCommand)
		{
			flow.Frames.Threads = threads;
			return FlowCommand(host, flow, std::cout);
		}
		else if (*submitCommand)
			return SubmitCommand(host, submit, std::cout);
		else if (*studioCommand)
			return StudioCommand(host, studio, std::cout);
		else if (*demo)
			RunDemo(host, demoOut, std::cout, PrintWarning);
		return ExitOk;
	}
	catch (const HostError& e)
	{
		PrintError(e.what());
		return ExitStatusOf(e.Kind);
	}
	catch (const std::bad_alloc&)
	{
		std::cerr << "qz: not enough memory\n";
		return ExitRenderFailed;
	}
	catch (const std::exception& e)
	{
		PrintError(e.what());
		return ExitRenderFailed;
	}
}
