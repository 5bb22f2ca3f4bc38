#include "RunCommand.h"

#include <nlohmann/json.hpp>

#include "Report.h"
#include "qz/core/Describe.h"
#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"
#include "qz/colour/ColourConfig.h"
#include "qz/graph/FlowRender.h"

std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option)
{
	const size_t equals = text.find('=');
	if (equals == std::string::npos || equals == 0)
		throw HostError(ErrorKind::Usage, std::string(option) + " expects ID=VALUE, not \"" + text + "\"");
	return {text.substr(0, equals), text.substr(equals + 1)};
}

namespace
{
nlohmann::ordered_json ReadoutsJson(const ReadoutList& readouts)
{
	nlohmann::ordered_json json = nlohmann::ordered_json::object();
	for (const auto& [id, value] : readouts)
		json[id] = JsonNumber(value);
	return json;
}

// The tool's read-outs of a frame: the one node's, if it wrote any.
const ReadoutList& ReadoutsOf(const RenderedFrame& frame)
{
	static const ReadoutList none;
	return frame.Readouts.empty() ? none : frame.Readouts.front().second;
}

nlohmann::ordered_json OutputJson(const RenderedFrame& frame)
{
	return frame.Saved.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(frame.Saved.front());
}

// An animated -s value, checked as a flow's is; its button texts are
// checked as still ones are, warning once each.
AnimatedValue ReadAnimation(ToolSession& probe, const std::string& id, const nlohmann::json& animation)
{
	const bool isNumber = probe.FindInput(id)->IsNumber();
	try
	{
		AnimatedValue value = AnimatedValue::Read(animation, isNumber, DefaultFps);
		for (double frame : value.KeyFrames())
			if (!isNumber)
				if (const std::string warning = probe.SetValue(id, value.TextAt(frame)); !warning.empty())
					PrintWarning(warning);
		return value;
	}
	catch (const HostError& e)
	{
		throw HostError(ErrorKind::Usage, probe.Name() + ": input \"" + id + "\": " + e.what());
	}
}
}

int RunCommand(const PluginHost& host, const RunOptions& options, std::ostream& out)
{
	FlowNode node;
	node.Tool = host.FindTool(options.Tool);
	if (!node.Tool)
		throw HostError(ErrorKind::Usage, "unknown tool \"" + options.Tool + "\" (qz list shows the tools)");
	node.Name = node.Tool->Name();

	// Check every ID and value once, up front, warning once per doubtful value.
	ToolSession probe(node.Tool);
	node.MainInput = probe.MainImageInput();
	for (const std::string& assignment : options.Values)
	{
		const auto [id, text] = SplitAssignment(assignment, "-s");
		const Input* input = probe.FindInput(id);
		if (input->IsNumber() || input->IsButtonRow())
			if (const std::optional<nlohmann::json> animation = AnimationOfText(text, input->IsNumber()))
			{
				node.Values.emplace_back(id, ReadAnimation(probe, id, *animation));
				continue;
			}
		const std::string warning = probe.SetValue(id, text);
		if (!warning.empty())
			PrintWarning(warning);
		if (input->IsNumber())
			node.Values.emplace_back(id, AnimatedValue::Still(static_cast<double>(*static_cast<Number*>(input->GetSource()))));
		else
			node.Values.emplace_back(id, AnimatedValue::Still(text));
	}
	for (const std::string& assignment : options.Images)
	{
		const auto [id, file] = SplitAssignment(assignment, "-i");
		probe.FindImageInput(id);
		ImageSource::Parse(file);
		node.Links.push_back({id, file, ""});
	}

	Flow flow;
	flow.SingleTool = true;
	flow.Nodes.push_back(node);
	if (!options.ColorSpace.empty() && options.OutputPath.empty())
		throw HostError(ErrorKind::Usage, "--colorspace converts the output: give -o");
	if (!options.OutputPath.empty())
		flow.Saves.push_back({node.Name, options.OutputPath, "", "",
		                      options.ColorSpace.empty() ? "" : ColourSpaceNamed(options.ColorSpace)});
	ProgressLine progress(!options.Frames.Quiet && !options.Frames.Json);
	RenderHooks hooks;
	hooks.Progress = progress.Hook();
	const FlowRenderResult result = RenderFlow(flow, options.Frames, hooks);

	const std::string name = node.Name;
	if (!result.TimeIsFrame)
	{
		static const RenderedFrame failed;
		const RenderedFrame& frame = result.Frames.empty() ? failed : result.Frames.begin()->second;
		if (options.Frames.Json)
		{
			nlohmann::ordered_json report{
				{"tool", name}, {"output", OutputJson(frame)}, {"readouts", ReadoutsJson(ReadoutsOf(frame))}};
			if (result.Failure)
				report["failed"] = FailureJson(result);
			out << JsonLine(report);
		}
		else if (!result.Failure)
			for (const auto& [id, value] : ReadoutsOf(frame))
				out << id << " = " << FormatNumber(value) << "\n";
	}
	else if (options.Frames.Json)
	{
		nlohmann::ordered_json rendered = nlohmann::ordered_json::array();
		for (const auto& [number, frame] : result.Frames)
			rendered.push_back(
				{{"frame", number}, {"output", OutputJson(frame)}, {"readouts", ReadoutsJson(ReadoutsOf(frame))}});
		nlohmann::ordered_json report{
			{"tool", name}, {"frames", rendered}, {"skipped", result.Skipped}, {"existing", result.Existing}};
		if (result.Failure)
			report["failed"] = FailureJson(result);
		out << JsonLine(report);
	}
	else if (!result.Failure)
		for (const auto& [number, frame] : result.Frames)
			for (const auto& [id, value] : ReadoutsOf(frame))
				out << "frame " << number << ": " << id << " = " << FormatNumber(value) << "\n";

	return FinishRender(result, options.Frames);
}
