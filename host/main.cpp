// qz: a command-line compositing host. Loads the tool plug-ins and renders
// image files through them.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "Demo.h"
#include "Describe.h"
#include "HostError.h"
#include "ImageFiles.h"
#include "PluginHost.h"
#include "ToolSession.h"

namespace
{
struct RunOptions
{
	std::string Tool;
	std::vector<std::string> Images;  // ID=PATH
	std::vector<std::string> Values;  // ID=VALUE
	std::string OutputPath;
	bool Json = false;
};

std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option)
{
	const size_t equals = text.find('=');
	if (equals == std::string::npos || equals == 0)
		throw HostError(ExitUsage, std::string(option) + " expects ID=VALUE, not \"" + text + "\"");
	return {text.substr(0, equals), text.substr(equals + 1)};
}

const Registry* FindToolOrFail(const PluginHost& host, const std::string& name)
{
	const Registry* tool = host.FindTool(name);
	if (!tool)
		throw HostError(ExitUsage, "unknown tool \"" + name + "\" (qz list shows the tools)");
	return tool;
}

bool SameFile(const std::string& a, const std::string& b)
{
	std::error_code ec;
	return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}

int Run(const PluginHost& host, const RunOptions& options)
{
	ToolSession session(FindToolOrFail(host, options.Tool));
	for (const std::string& assignment : options.Values)
	{
		auto [id, value] = SplitAssignment(assignment, "-s");
		const std::string warning = session.SetValue(id, value);
		if (!warning.empty())
			std::cerr << "qz: warning: " << warning << "\n";
	}
	std::vector<std::pair<std::string, std::string>> images;
	for (const std::string& assignment : options.Images)
	{
		images.push_back(SplitAssignment(assignment, "-i"));
		session.FindInput(images.back().first);
		if (!options.OutputPath.empty() && SameFile(images.back().second, options.OutputPath))
			throw HostError(ExitUsage, "output " + options.OutputPath + " is also an input; refusing to overwrite it");
	}
	for (const auto& [id, path] : images)
	{
		Image* image = ReadImageFile(path);
		session.Connect(id, image);
		image->Recycle();
	}

	RenderResult result = session.Render();
	if (!result.Output)
	{
		const std::string why = session.DescribeChoicesAndConnections();
		throw HostError(ExitRenderFailed, session.Name() + " set no output" + (why.empty() ? "" : " (" + why + ")"));
	}
	if (!options.OutputPath.empty())
		WriteImageFile(*result.Output, options.OutputPath);

	if (options.Json)
	{
		nlohmann::ordered_json readouts = nlohmann::ordered_json::object();
		for (const auto& [id, value] : result.Readouts)
			readouts[id] = JsonNumber(value);
		nlohmann::ordered_json report = {{"tool", session.Name()},
		                         {"output", options.OutputPath.empty() ? nlohmann::ordered_json(nullptr)
		                                                               : nlohmann::ordered_json(options.OutputPath)},
		                         {"readouts", readouts}};
		std::cout << report.dump() << "\n";
	}
	else
		for (const auto& [id, value] : result.Readouts)
			std::cout << id << " = " << FormatNumber(value) << "\n";
	return ExitOk;
}
}

int main(int argc, char** argv)
{
	CLI::App app("qz: renders images through the QZ tools", "qz");
	app.require_subcommand(1);
	int threads = 0;
	app.add_option("--threads", threads, "worker threads for a render (0: one per core)")->check(CLI::NonNegativeNumber);

	bool listJson = false;
	CLI::App* list = app.add_subcommand("list", "list the registered tools in registration order");
	list->add_flag("--json", listJson, "print JSON");

	std::string infoTool;
	bool infoJson = false;
	CLI::App* info = app.add_subcommand("info", "show a tool's control page");
	info->add_option("TOOL", infoTool, "registry name, class ID or class name")->required();
	info->add_flag("--json", infoJson, "print JSON");

	RunOptions run;
	CLI::App* runCommand = app.add_subcommand("run", "render one frame through a tool");
	runCommand->add_option("TOOL", run.Tool, "registry name, class ID or class name")->required();
	runCommand->add_option("-i,--input", run.Images, "connect an image input: ID=PATH");
	runCommand->add_option("-s,--set", run.Values, "set an input: ID=NUMBER or ID=BUTTON");
	runCommand->add_option("-o,--output", run.OutputPath, "write the output image (format by extension)");
	runCommand->add_flag("--json", run.Json, "print the result as JSON");
	runCommand->add_option("--threads", threads, "worker threads for a render (0: one per core)")
		->check(CLI::NonNegativeNumber);

	std::string demoOut = "demo-out";
	CLI::App* demo = app.add_subcommand("demo", "render the built-in demo scene");
	demo->add_option("--out", demoOut, "output folder");
	demo->add_option("--threads", threads, "worker threads for a render (0: one per core)")
		->check(CLI::NonNegativeNumber);

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
		std::cerr << "qz: " << e.what() << " (qz --help shows the options)\n";
		return ExitUsage;
	}

	try
	{
		SetThreadCount(threads);
		PluginHost host(PluginHost::DefaultDirectories());
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
			return Run(host, run);
		else if (*demo)
			RunDemo(host, demoOut, std::cout);
		return ExitOk;
	}
	catch (const HostError& e)
	{
		std::cerr << "qz: " << e.what() << "\n";
		return e.Status;
	}
	catch (const std::exception& e)
	{
		std::cerr << "qz: " << e.what() << "\n";
		return ExitRenderFailed;
	}
}
