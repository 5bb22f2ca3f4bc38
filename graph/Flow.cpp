#include "qz/graph/Flow.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"
#include "qz/colour/ColourConfig.h"
#include "qz/graph/Frames.h"
#include "qz/io/ImageFiles.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace
{
HostError FlowError(const std::string& where, const std::string& what)
{
	return HostError(ErrorKind::Usage, "flow " + where + ": " + what);
}

std::string NodeWhere(const std::string& node, const std::string& input = "")
{
	return "node \"" + Excerpt(node) + "\"" + (input.empty() ? "" : " input \"" + Excerpt(input) + "\"");
}

// A fault in a node, or in one of its inputs when `input` is not empty.
HostError NodeError(const std::string& node, const std::string& input, const std::string& what)
{
	HostError error = FlowError(NodeWhere(node, input), what);
	error.Node = node;
	if (!input.empty())
		error.Input = input;
	return error;
}

/// A JSON value as errors quote it.
std::string JsonExcerpt(const json& value)
{
	return Excerpt(value.dump());
}

// The texts a button row's value takes at one frame or another.
std::vector<std::string> ButtonTexts(const AnimatedValue& value)
{
	if (value.IsStill())
		return {value.Written().get<std::string>()};
	std::vector<std::string> texts;
	for (double frame : value.KeyFrames())
		texts.push_back(value.TextAt(frame));
	return texts;
}

FlowNode ParseNode(const PluginHost& host, const std::string& name, const json& description, const std::string& baseDir,
                   double fps, const WarningSink& warn)
{
	if (!description.is_object())
		throw NodeError(name, "", "must be an object with \"tool\", \"values\" and \"inputs\"");
	for (const auto& [key, value] : description.items())
		if (key != "tool" && key != "values" && key != "inputs" && key != "enabled" && key != "studio")
			throw NodeError(name, "", "unknown key \"" + Excerpt(key) + "\"");
	if (description.contains("enabled") && !description["enabled"].is_boolean())
		throw NodeError(name, "", "\"enabled\" must be true or false, not " + JsonExcerpt(description["enabled"]));
	if (!description.contains("tool") || !description["tool"].is_string())
		throw NodeError(name, "", "needs \"tool\": a tool name");

	FlowNode node;
	node.Name = name;
	node.Tool = host.FindTool(description["tool"].get<std::string>());
	if (!node.Tool)
		throw NodeError(name, "", "unknown tool \"" + Excerpt(description["tool"].get<std::string>()) + "\"");

	ToolSession probe(node.Tool);
	const auto rethrowForNode = [&](const std::string& input, const std::function<void()>& check) {
		try
		{
			check();
		}
		catch (const HostError& e)
		{
			throw NodeError(name, input, e.what());
		}
	};

	const json values = description.value("values", json::object());
	if (!values.is_object())
		throw NodeError(name, "", "\"values\" must be an object of input IDs");
	for (auto item = values.begin(); item != values.end(); ++item)
	{
		const std::string& id = item.key();
		const json& value = item.value();
		Input* input = nullptr;
		rethrowForNode(id, [&] { input = probe.FindInput(id); });
		if (!input->IsNumber() && !input->IsButtonRow())
			throw NodeError(name, id, input->IsImage() ? "is an image: connect it under \"inputs\""
			                                                      : "takes no value");
		AnimatedValue animated;
		rethrowForNode(id, [&] { animated = AnimatedValue::Read(value, input->IsNumber(), fps); });
		if (input->IsNumber() && animated.IsStill())
			rethrowForNode(id, [&] { probe.SetNumberWithinLimit(id, value.get<double>()); });
		if (input->IsButtonRow())
			for (const std::string& text : ButtonTexts(animated))
			{
				const std::string warning = probe.SetValue(id, text);
				if (!warning.empty() && warn)
					warn("flow " + NodeWhere(name) + ": " + warning);
			}
		node.Values.emplace_back(id, std::move(animated));
	}

	const json inputs = description.value("inputs", json::object());
	if (!inputs.is_object())
		throw NodeError(name, "", "\"inputs\" must be an object of image input IDs");
	std::set<std::string> connected;
	for (auto item = inputs.begin(); item != inputs.end(); ++item)
	{
		const std::string& id = item.key();
		const json& link = item.value();
		rethrowForNode(id, [&] { probe.FindImageInput(id); });
		const bool isFile = link.is_object() && link.size() == 1 && link.contains("file") && link["file"].is_string();
		const bool isNode = link.is_object() && link.size() == 1 && link.contains("node") && link["node"].is_string();
		if (!isFile && !isNode)
			throw NodeError(name, id,
			                "must be {\"file\": PATH} or {\"node\": NAME}, not " + JsonExcerpt(link));
		if (isFile)
			rethrowForNode(id, [&] { ImageSource::Parse(link["file"].get<std::string>()); });
		node.Links.push_back({id, isFile ? ResolveFlowFile(baseDir, link["file"].get<std::string>()) : "",
		                      isNode ? link["node"].get<std::string>() : ""});
		connected.insert(id);
	}
	// A bypassed node needs its main input only.
	node.Enabled = description.value("enabled", true);
	node.MainInput = probe.MainImageInput();
	for (const auto& input : probe.Tool().Inputs())
		if (input->MustBeConnected() && !connected.count(input->ID().GetRawString()) && node.Enabled)
			throw NodeError(name, input->ID().GetRawString(), "is required but not connected");
	if (!node.Enabled && !connected.count(node.MainInput))
		throw NodeError(name, node.MainInput,
		                node.MainInput.empty() ? "is disabled, but has no image input to hand on"
		                                       : "is disabled, but its main input, which it hands on, is not connected");
	return node;
}

// Nodes ordered so that each follows the nodes it reads; throws on a cycle.
// The reads are followed depth first on a stack of our own, as a long chain
// of nodes would overflow the call stack.
std::vector<FlowNode> OrderNodes(const std::map<std::string, FlowNode>& nodes)
{
	std::vector<FlowNode> ordered;
	ordered.reserve(nodes.size());
	std::map<std::string, int> state;  // 1: on the current path, 2: placed
	// The current path: each node with how many of its links have been followed.
	std::vector<std::pair<const FlowNode*, size_t>> path;
	const auto enter = [&](const std::string& name) {
		int& mark = state[name];
		if (mark == 2)
			return;
		if (mark == 1)
		{
			std::string cycle;
			auto step = std::find_if(path.begin(), path.end(), [&](const auto& s) { return s.first->Name == name; });
			for (; step != path.end(); ++step)
				cycle += (cycle.empty() ? "" : " -> ") + Excerpt(step->first->Name);
			throw NodeError(name, "", "is part of a cycle: " + cycle + " -> " + Excerpt(name));
		}
		mark = 1;
		path.emplace_back(&nodes.at(name), 0);
	};
	for (const auto& [name, node] : nodes)
	{
		enter(name);
		while (!path.empty())
		{
			const FlowNode& top = *path.back().first;
			const size_t next = path.back().second++;
			if (next < top.Links.size())
			{
				if (!top.Links[next].Node.empty())
					enter(top.Links[next].Node);
				continue;
			}
			state[top.Name] = 2;
			path.pop_back();
			ordered.push_back(top);
		}
	}
	return ordered;
}
}

Flow ParseFlow(const PluginHost& host, const json& document, const std::string& baseDir, const WarningSink& warn)
{
	if (!document.is_object() || !document.contains("nodes") || !document["nodes"].is_object())
		throw FlowError("file", "needs \"nodes\": an object of named nodes");
	for (const auto& [key, value] : document.items())
		if (key != "nodes" && key != "save" && key != "fps" && key != "studio")
			throw FlowError("file", "unknown key \"" + Excerpt(key) + "\"");
	Flow flow;
	if (document.contains("fps"))
	{
		const json& fps = document["fps"];
		if (!fps.is_number() || !(fps.get<double>() > 0) || !std::isfinite(fps.get<double>()))
			throw FlowError("file", "\"fps\" must be a number of frames per second above 0, not " + JsonExcerpt(fps));
		flow.Fps = fps.get<double>();
		flow.FpsGiven = true;
	}

	std::map<std::string, FlowNode> nodes;
	for (const auto& [name, description] : document["nodes"].items())
		nodes[name] = ParseNode(host, name, description, baseDir, flow.Fps, warn);
	for (const auto& [name, node] : nodes)
		for (const FlowLink& link : node.Links)
			if (!link.Node.empty() && !nodes.count(link.Node))
				throw NodeError(name, link.Input,
				                "reads node \"" + Excerpt(link.Node) + "\", which does not exist");

	flow.Nodes = OrderNodes(nodes);
	const json saves = document.value("save", json::array());
	if (!saves.is_array())
		throw FlowError("file", "\"save\" must be a list of {\"node\": NAME, \"file\": PATH}");
	for (const json& save : saves)
	{
		if (!save.is_object() || !save.contains("node") || !save.contains("file") || !save["node"].is_string() ||
		    !save["file"].is_string())
			throw FlowError("save", "each entry must be {\"node\": NAME, \"file\": PATH}, not " + JsonExcerpt(save));
		for (const auto& [key, value] : save.items())
			if ((key != "node" && key != "file" && key != "type" && key != "compression" && key != "colorspace") ||
			    !value.is_string())
				throw FlowError("save", "unknown key \"" + Excerpt(key) +
				                            "\" (node, file, type, compression, colorspace: texts)");
		const std::string node = save["node"].get<std::string>();
		if (!nodes.count(node))
			throw FlowError("save", "node \"" + Excerpt(node) + "\" does not exist");
		FlowSave entry{node, ResolveFlowFile(baseDir, save["file"].get<std::string>()), save.value("type", ""),
		               save.value("compression", ""), save.value("colorspace", "")};
		try
		{
			if (!entry.DataType.empty())
				ParseDataType(entry.DataType);
			if (!entry.Compression.empty())
				CheckCompression(entry.Compression, entry.File);
			if (!entry.ColorSpace.empty())
				entry.ColorSpace = ColourSpaceNamed(entry.ColorSpace);
		}
		catch (const HostError& e)
		{
			throw FlowError("save of node \"" + Excerpt(node) + "\"", e.what());
		}
		flow.Saves.push_back(std::move(entry));
	}
	return flow;
}

std::optional<Flow> WithMainInputRate(const Flow& flow, int frame)
{
	const auto isExpression = [](const auto& value) {
		return value.second.Written().is_object() && value.second.Written().contains("expression");
	};
	const bool timed = std::any_of(flow.Nodes.begin(), flow.Nodes.end(), [&](const FlowNode& node) {
		return std::any_of(node.Values.begin(), node.Values.end(), isExpression);
	});
	if (flow.FpsGiven || !timed)
		return std::nullopt;
	for (const FlowNode& node : flow.Nodes)
		for (const FlowLink& link : node.Links)
			if (link.Input == node.MainInput && !link.File.empty())
			{
				const std::optional<double> fps =
					RecordedFramesPerSecond(FramePath(ImageSource::Parse(link.File).Path, frame));
				if (!fps || *fps == flow.Fps)
					return std::nullopt;
				Flow rated = flow;
				rated.Fps = *fps;
				for (FlowNode& ratedNode : rated.Nodes)
					for (auto& value : ratedNode.Values)
						if (isExpression(value))
							value.second = AnimatedValue::Read(value.second.Written(), true, *fps);
				return rated;
			}
	return std::nullopt;
}

namespace
{
/// A flow nests five levels deep (the document, "nodes", a node, "inputs",
/// a link); far deeper values are refused as they are read, before code that
/// copies or prints a value recursively can run out of stack on them.
constexpr int MaxFlowDepth = 32;

// A fault found while reading, placed by the key being read in each open
// object ("" in arrays), outermost first.
HostError DocumentError(const std::vector<std::string>& keys, const std::string& what)
{
	if (keys.size() >= 2 && keys[0] == "nodes")
	{
		const bool inInput = keys.size() >= 4 && (keys[2] == "values" || keys[2] == "inputs");
		return NodeError(keys[1], inInput ? keys[3] : "", what);
	}
	return FlowError(!keys.empty() && keys[0] == "save" ? "save" : "file", what);
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

// Builds the document as the library's own parser does, keeping the key being
// read in each open value. (The library's callback parser, which could keep
// them too, searches the enclosing object for discarded values at the end of
// every object it reads: time quadratic in the number of nodes.) Its
// parse_error rethrows each exception as its own type, which a reader derived
// from json_sax, taking them all as their base class, could not.
class FlowDocumentReader
{
public:
	explicit FlowDocumentReader(json& document) : Builder(document) {}

	bool null() { return Builder.null(); }
	bool boolean(bool value) { return Builder.boolean(value); }
	bool number_integer(json::number_integer_t value) { return Builder.number_integer(value); }
	bool number_unsigned(json::number_unsigned_t value) { return Builder.number_unsigned(value); }
	bool number_float(json::number_float_t value, const json::string_t& text) { return Builder.number_float(value, text); }
	bool string(json::string_t& value) { return Builder.string(value); }
	bool binary(json::binary_t& value) { return Builder.binary(value); }
	bool start_object(std::size_t size)
	{
		Open();
		return Builder.start_object(size);
	}
	bool key(json::string_t& key)
	{
		Keys.back() = key;
		return Builder.key(key);
	}
	bool end_object()
	{
		Keys.pop_back();
		return Builder.end_object();
	}
	bool start_array(std::size_t size)
	{
		Open();
		return Builder.start_array(size);
	}
	bool end_array()
	{
		Keys.pop_back();
		return Builder.end_array();
	}
	template <class Exception>
	bool parse_error(std::size_t position, const std::string& token, const Exception& error)
	{
		return Builder.parse_error(position, token, error);
	}

	std::vector<std::string> Keys;  // as `DocumentError` takes them

private:
	void Open()
	{
		if (Keys.size() >= MaxFlowDepth)
			throw DocumentError(Keys, "values nest deeper than " + std::to_string(MaxFlowDepth) + " levels");
		Keys.emplace_back();
	}

	nlohmann::detail::json_sax_dom_parser<json> Builder;
};
}

json ReadFlowDocument(std::istream& text, const std::string& name)
{
	json document;
	FlowDocumentReader reader(document);
	try
	{
		json::sax_parse(text, &reader);
		return document;
	}
	catch (const json::parse_error& e)
	{
		throw HostError(ErrorKind::Usage, "cannot read flow " + name + ": " + ParseErrorText(e));
	}
	catch (const json::out_of_range&)  // the only one JSON text raises: a number beyond a double's range
	{
		throw DocumentError(reader.Keys, "a number is too large for a double");
	}
}

Flow LoadFlow(const PluginHost& host, const std::string& path, const WarningSink& warn)
{
	std::error_code ec;
	const fs::file_status status = fs::status(path, ec);
	if (fs::is_directory(status))
		throw HostError(ErrorKind::Usage, "cannot read flow " + path + ": it is a directory");
	if (!fs::is_regular_file(status))
		throw HostError(ErrorKind::Usage, "cannot read flow " + path + ": " +
		                               (fs::exists(status) ? "not a regular file" : "no such file"));
	std::ifstream in(path);
	return ParseFlow(host, ReadFlowDocument(in, path), fs::path(path).parent_path().string(), warn);
}

std::string ResolveFlowFile(const std::string& baseDir, const std::string& file)
{
	return fs::path(file).is_absolute() || baseDir.empty() ? file : (fs::path(baseDir) / file).string();
}

std::vector<std::string> InputFiles(const Flow& flow)
{
	std::vector<std::string> paths;
	for (const FlowNode& node : flow.Nodes)
		for (const FlowLink& link : node.Links)
			if (!link.File.empty())
				paths.push_back(ImageSource::Parse(link.File).Path);
	return paths;
}
