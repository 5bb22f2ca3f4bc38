#include "FlowCommand.h"

#include <nlohmann/json.hpp>

#include "Report.h"
#include "qz/core/Describe.h"
#include "qz/core/ToolSession.h"
#include "qz/graph/Flow.h"
#include "qz/graph/FlowRender.h"

int FlowCommand(const PluginHost& host, const FlowOptions& options, std::ostream& out)
{
	const Flow flow = LoadFlow(host, options.Path, PrintWarning);
	ProgressLine progress(!options.Frames.Quiet && !options.Frames.Json);
	RenderHooks hooks;
	hooks.Progress = progress.Hook();
	const FlowRenderResult result = RenderFlow(flow, options.Frames, hooks);

	if (options.Frames.Json)
	{
		nlohmann::ordered_json rendered = nlohmann::ordered_json::array();
		for (const auto& [frame, done] : result.Frames)
		{
			nlohmann::ordered_json readouts = nlohmann::ordered_json::object();
			for (const auto& [node, values] : done.Readouts)
				for (const auto& [id, value] : values)
					readouts[node][id] = JsonNumber(value);
			rendered.push_back({{"frame", frame}, {"saved", done.Saved}, {"readouts", readouts}});
		}
		nlohmann::ordered_json report{
			{"flow", options.Path}, {"frames", rendered}, {"skipped", result.Skipped}, {"existing", result.Existing}};
		if (result.Failure)
			report["failed"] = FailureJson(result);
		out << JsonLine(report);
	}
	else if (!result.Failure)
		for (const auto& [frame, done] : result.Frames)
		{
			const std::string prefix = result.TimeIsFrame ? "frame " + std::to_string(frame) + ": " : "";
			for (const auto& [node, values] : done.Readouts)
				for (const auto& [id, value] : values)
					out << prefix << Escaped(node) << "." << id << " = " << FormatNumber(value) << "\n";
		}
	return FinishRender(result, options.Frames);
}
