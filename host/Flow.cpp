#include "Flow.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>

#include "Describe.h"
#include "FrameJob.h"
#include "Frames.h"
#include "HostError.h"
#include "ImageFiles.h"
#include "RunCommand.h"
#include "ToolSession.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace
{
HostError FlowError(const std::string& where, const std::string& what)
{
	return HostError(ExitUsage, "flow " + where + ": " + what);
}

std::string NodeWhere(const std::string& node, const std::string& input = "")
{
	return "node \"" + Excerpt(node) + "\"" + (input.empty() ? "" : " input \"" + Excerpt(input) + "\"");
}

/// A JSON value as errors quote it.
std::string JsonExcerpt(const json& value)
{
	return Excerpt(value.dump());
}

std::string Resolve(const std::string& baseDir, const std::string& file)
{
	return fs::path(file).is_absolute() || baseDir.empty() ? file : (fs::path(baseDir) / file).string();
}

FlowNode ParseNode(const PluginHost& host, const std::string& name, const json& description, const std::string& baseDir)
{
	if (!description.is_object())
		throw FlowError(NodeWhere(name), "must be an object with \"tool\", \"values\" and \"inputs\"");
	for (const auto& [key, value] : description.items())
		if (key != "tool" && key != "values" && key != "inputs")
			throw FlowError(NodeWhere(name), "unknown key \"" + Excerpt(key) + "\"");
	if (!description.contains("tool") || !description["tool"].is_string())
		throw FlowError(NodeWhere(name), "needs \"tool\": a tool name");

	FlowNode node;
	node.Name = name;
	node.Tool = host.FindTool(description["tool"].get<std::string>());
	if (!node.Tool)
		throw FlowError(NodeWhere(name), "unknown tool \"" + Excerpt(description["tool"].get<std::string>()) + "\"");

	ToolSession probe(node.Tool);
	const auto rethrowForNode = [&](const std::string& input, const std::function<void()>& check) {
		try
		{
			check();
		}
		catch (const HostError& e)
		{
			throw FlowError(NodeWhere(name, input), e.what());
		}
	};

	const json values = description.value("values", json::object());
	if (!values.is_object())
		throw FlowError(NodeWhere(name), "\"values\" must be an object of input IDs");
	for (auto item = values.begin(); item != values.end(); ++item)
	{
		const std::string& id = item.key();
		const json& value = item.value();
		Input* input = nullptr;
		rethrowForNode(id, [&] { input = probe.FindInput(id); });
		if (input->IsNumber() && !value.is_number())
			throw FlowError(NodeWhere(name, id), "takes a number, not " + JsonExcerpt(value));
		if (input->IsButtonRow() && !value.is_string())
			throw FlowError(NodeWhere(name, id), "takes a button text, not " + JsonExcerpt(value));
		if (!input->IsNumber() && !input->IsButtonRow())
			throw FlowError(NodeWhere(name, id), input->IsImage() ? "is an image: connect it under \"inputs\""
			                                                      : "takes no value");
		if (input->IsNumber())
			rethrowForNode(id, [&] { probe.SetNumberWithinLimit(id, value.get<double>()); });
		if (input->IsButtonRow())
		{
			const std::string warning = probe.SetValue(id, value.get<std::string>());
			if (!warning.empty())
				std::cerr << "qz: warning: flow " << NodeWhere(name) << ": " << warning << "\n";
		}
		node.Values.emplace_back(id, value);
	}

	const json inputs = description.value("inputs", json::object());
	if (!inputs.is_object())
		throw FlowError(NodeWhere(name), "\"inputs\" must be an object of image input IDs");
	std::set<std::string> connected;
	for (auto item = inputs.begin(); item != inputs.end(); ++item)
	{
		const std::string& id = item.key();
		const json& link = item.value();
		rethrowForNode(id, [&] { probe.FindImageInput(id); });
		const bool isFile = link.is_object() && link.size() == 1 && link.contains("file") && link["file"].is_string();
		const bool isNode = link.is_object() && link.size() == 1 && link.contains("node") && link["node"].is_string();
		if (!isFile && !isNode)
			throw FlowError(NodeWhere(name, id),
			                "must be {\"file\": PATH} or {\"node\": NAME}, not " + JsonExcerpt(link));
		node.Links.push_back({id, isFile ? Resolve(baseDir, link["file"].get<std::string>()) : "",
		                      isNode ? link["node"].get<std::string>() : ""});
		connected.insert(id);
	}
	for (const auto& input : probe.Tool().Inputs())
		if (input->MustBeConnected() && !connected.count(input->ID().GetRawString()))
			throw FlowError(NodeWhere(name, input->ID().GetRawString()), "is required but not connected");
	return node;
}

// Nodes ordered so that each follows the nodes it reads; throws on a cycle.
std::vector<FlowNode> OrderNodes(std::map<std::string, FlowNode> nodes)
{
	std::vector<FlowNode> ordered;
	std::map<std::string, int> state;  // 1: on the current path, 2: placed
	std::vector<std::string> path;
	std::function<void(const std::string&)> visit = [&](const std::string& name) {
		if (state[name] == 2)
			return;
		path.push_back(name);
		if (state[name] == 1)
		{
			std::string cycle;
			for (auto it = std::find(path.begin(), path.end(), name); it != path.end(); ++it)
				cycle += (cycle.empty() ? "" : " -> ") + Excerpt(*it);
			throw FlowError(NodeWhere(name), "is part of a cycle: " + cycle);
		}
		state[name] = 1;
		for (const FlowLink& link : nodes.at(name).Links)
			if (!link.Node.empty())
				visit(link.Node);
		state[name] = 2;
		path.pop_back();
		ordered.push_back(nodes.at(name));
	};
	for (const auto& [name, node] : nodes)
		visit(name);
	return ordered;
}
}

Flow ParseFlow(const PluginHost& host, const json& document, const std::string& baseDir)
{
	if (!document.is_object() || !document.contains("nodes") || !document["nodes"].is_object())
		throw FlowError("file", "needs \"nodes\": an object of named nodes");
	for (const auto& [key, value] : document.items())
		if (key != "nodes" && key != "save")
			throw FlowError("file", "unknown key \"" + Excerpt(key) + "\"");

	std::map<std::string, FlowNode> nodes;
	for (const auto& [name, description] : document["nodes"].items())
		nodes[name] = ParseNode(host, name, description, baseDir);
	for (const auto& [name, node] : nodes)
		for (const FlowLink& link : node.Links)
			if (!link.Node.empty() && !nodes.count(link.Node))
				throw FlowError(NodeWhere(name, link.Input),
				                "reads node \"" + Excerpt(link.Node) + "\", which does not exist");

	Flow flow;
	flow.Nodes = OrderNodes(nodes);
	const json saves = document.value("save", json::array());
	if (!saves.is_array())
		throw FlowError("file", "\"save\" must be a list of {\"node\": NAME, \"file\": PATH}");
	for (const json& save : saves)
	{
		if (!save.is_object() || !save.contains("node") || !save.contains("file") || !save["node"].is_string() ||
		    !save["file"].is_string())
			throw FlowError("save", "each entry must be {\"node\": NAME, \"file\": PATH}, not " + JsonExcerpt(save));
		const std::string node = save["node"].get<std::string>();
		if (!nodes.count(node))
			throw FlowError("save", "node \"" + Excerpt(node) + "\" does not exist");
		flow.Saves.push_back({node, Resolve(baseDir, save["file"].get<std::string>())});
	}
	return flow;
}

namespace
{
/// A flow nests five levels deep (the document, "nodes", a node, "inputs",
/// a link); far deeper values are refused as they are read, before code that
/// copies or prints a value recursively can run out of stack on them.
constexpr int MaxFlowDepth = 32;

// Where a fault found while reading lies, from the key being read in each
// open object ("" in arrays), outermost first.
std::string DocumentWhere(const std::vector<std::string>& keys)
{
	if (keys.size() >= 2 && keys[0] == "nodes")
	{
		const bool inInput = keys.size() >= 4 && (keys[2] == "values" || keys[2] == "inputs");
		return NodeWhere(keys[1], inInput ? keys[3] : "");
	}
	return !keys.empty() && keys[0] == "save" ? "save" : "file";
}

// A parse error's message, the token it quotes cut to an excerpt.
std::string ParseErrorText(const json::parse_error& e)
{
	const std::string message = e.what(), quote = "last read: '";
	const size_t token = message.find(quote);
	if (token == std::string::npos)
		return message;
	const size_t start = token + quote.size();
	return message.substr(0, start) + Excerpt(message.substr(start, message.size() - start - 1)) + "'";
}
}

json ReadFlowDocument(std::istream& text, const std::string& name)
{
	std::vector<std::string> keys;
	const json::parser_callback_t track = [&](int depth, json::parse_event_t event, json& parsed) {
		switch (event)
		{
		case json::parse_event_t::object_start:
		case json::parse_event_t::array_start:
			if (depth >= MaxFlowDepth)
				throw FlowError(DocumentWhere(keys),
				                "values nest deeper than " + std::to_string(MaxFlowDepth) + " levels");
			keys.emplace_back();
			break;
		case json::parse_event_t::key: keys.back() = parsed.get<std::string>(); break;
		case json::parse_event_t::object_end:
		case json::parse_event_t::array_end: keys.pop_back(); break;
		case json::parse_event_t::value: break;
		}
		return true;
	};
	try
	{
		return json::parse(text, track);
	}
	catch (const json::parse_error& e)
	{
		throw HostError(ExitUsage, "cannot read flow " + name + ": " + ParseErrorText(e));
	}
	catch (const json::out_of_range&)  // the only one JSON text raises: a number beyond a double's range
	{
		throw FlowError(DocumentWhere(keys), "a number is too large for a double");
	}
}

Flow LoadFlow(const PluginHost& host, const std::string& path)
{
	std::error_code ec;
	const fs::file_status status = fs::status(path, ec);
	if (fs::is_directory(status))
		throw HostError(ExitUsage, "cannot read flow " + path + ": it is a directory");
	if (!fs::is_regular_file(status))
		throw HostError(ExitUsage, "cannot read flow " + path + ": " +
		                               (fs::exists(status) ? "not a regular file" : "no such file"));
	std::ifstream in(path);
	return ParseFlow(host, ReadFlowDocument(in, path), fs::path(path).parent_path().string());
}

namespace
{
struct ImageRelease
{
	void operator()(Image* image) const { image->Recycle(); }
};
using SharedImage = std::shared_ptr<Image>;

struct FlowFrameResult
{
	std::vector<std::string> Saved;
	std::map<std::string, std::vector<std::pair<std::string, double>>> Readouts;  // by node
};

struct FlowJob
{
	const Flow& Graph;
	bool TimeIsFrame;
	std::mutex Mutex;
	std::map<int, FlowFrameResult> Results;
};

// One session per node; renders a whole frame of the flow, each node once.
class FlowWorker : public FrameWorker
{
public:
	explicit FlowWorker(FlowJob& job) : Job(job)
	{
		for (const FlowNode& node : job.Graph.Nodes)
		{
			Sessions.push_back(std::make_unique<ToolSession>(node.Tool));
			for (const auto& [id, value] : node.Values)
				if (value.is_number())
					Sessions.back()->SetNumber(id, value.get<double>());
				else
					Sessions.back()->SetValue(id, value.get<std::string>());
		}
	}

	void Render(int frame) override
	{
		std::map<std::string, SharedImage> outputs, files;
		FlowFrameResult done;
		const double time = Job.TimeIsFrame ? frame : 0.0;
		for (size_t n = 0; n < Job.Graph.Nodes.size(); ++n)
		{
			const FlowNode& node = Job.Graph.Nodes[n];
			ToolSession& session = *Sessions[n];
			for (const FlowLink& link : node.Links)
			{
				SharedImage image;
				if (!link.Node.empty())
					image = outputs.at(link.Node);
				else
				{
					const std::string file = FramePath(link.File, frame);
					SharedImage& cached = files[file];
					if (!cached)
						cached = SharedImage(ReadImageFile(file), ImageRelease());
					image = cached;
				}
				session.Connect(link.Input, image.get());
			}
			RenderResult result = session.Render(time);
			if (!result.Output)
			{
				const std::string why = session.DescribeChoicesAndConnections();
				throw HostError(ExitRenderFailed, "flow " + NodeWhere(node.Name) + ": " + session.Name() +
				                                      " set no output" + (why.empty() ? "" : " (" + why + ")"));
			}
			if (!result.Readouts.empty())
				done.Readouts[node.Name] = result.Readouts;
			outputs[node.Name] = SharedImage(std::exchange(result.Output, nullptr), ImageRelease());
		}
		for (const FlowSave& save : Job.Graph.Saves)
		{
			const std::string file = FramePath(save.File, frame);
			WriteImageFile(*outputs.at(save.Node), file);
			done.Saved.push_back(file);
		}
		std::lock_guard<std::mutex> lock(Job.Mutex);
		Job.Results[frame] = std::move(done);
	}

	bool SplitsIntoChunks() const override
	{
		for (const auto& session : Sessions)
			if (auto* tool = dynamic_cast<const ThreadedOperator*>(&session->Tool()); tool && tool->SplitsIntoChunks())
				return true;
		return false;
	}

private:
	FlowJob& Job;
	std::vector<std::unique_ptr<ToolSession>> Sessions;
};
}

int FlowCommand(const PluginHost& host, const FlowOptions& options, std::ostream& out)
{
	const Flow flow = LoadFlow(host, options.Path);

	std::vector<int> frames = FramesToRender(options.Frames.Range, options.Frames.Chunk);
	const bool timeIsFrame = !options.Frames.Range.empty();
	if (!timeIsFrame)
		frames = {0};
	std::vector<std::string> inputs, saves;
	for (const FlowNode& node : flow.Nodes)
		for (const FlowLink& link : node.Links)
			if (!link.File.empty())
			{
				if (IsSequencePath(link.File) && !timeIsFrame)
					throw HostError(ExitUsage, "flow " + NodeWhere(node.Name, link.Input) + " reads a frame sequence (" +
					                               link.File + "); give --frames");
				inputs.push_back(link.File);
			}
	for (const FlowSave& save : flow.Saves)
	{
		if (frames.size() > 1 && !IsSequencePath(save.File))
			throw HostError(ExitUsage, "flow save of node \"" + save.Node + "\": " + save.File +
			                               " must name a frame sequence (#### or %04d) to hold " +
			                               std::to_string(frames.size()) + " frames");
		saves.push_back(save.File);
	}
	RefuseOverwritingInputs(frames, inputs, saves);
	std::vector<std::string> skipped;
	const std::vector<int> present = FramesWithInputs(frames, inputs, options.Frames.SkipMissing, skipped);

	FlowJob job{flow, timeIsFrame, {}, {}};
	FrameJobOptions jobOptions;
	jobOptions.Threads = options.Frames.Threads > 0 ? options.Frames.Threads : GetThreadCount();
	jobOptions.Progress = !options.Frames.Quiet && !options.Frames.Json;
	RenderFrames(present, [&] { return std::make_unique<FlowWorker>(job); }, jobOptions);

	if (options.Frames.Json)
	{
		nlohmann::ordered_json rendered = nlohmann::ordered_json::array();
		for (const auto& [frame, result] : job.Results)
		{
			nlohmann::ordered_json readouts = nlohmann::ordered_json::object();
			for (const auto& [node, values] : result.Readouts)
				for (const auto& [id, value] : values)
					readouts[node][id] = JsonNumber(value);
			rendered.push_back({{"frame", frame}, {"saved", result.Saved}, {"readouts", readouts}});
		}
		out << nlohmann::ordered_json{{"flow", options.Path}, {"frames", rendered}, {"skipped", skipped}}.dump() << "\n";
	}
	else
		for (const auto& [frame, result] : job.Results)
		{
			const std::string prefix = timeIsFrame ? "frame " + std::to_string(frame) + ": " : "";
			for (const auto& [node, values] : result.Readouts)
				for (const auto& [id, value] : values)
					out << prefix << node << "." << id << " = " << FormatNumber(value) << "\n";
		}
	ReportSkippedFrames(skipped);
	return ExitOk;
}
