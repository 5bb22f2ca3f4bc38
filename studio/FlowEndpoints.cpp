// The flow endpoints: check, open and save a flow, and render a node of it
// through the flow evaluator.
#include "ServerImpl.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

#include "qz/core/Describe.h"
#include "qz/core/Error.h"
#include "qz/graph/FlowRender.h"
#include "qz/graph/Frames.h"
#include "qz/graph/OutputCache.h"
#include "WorkerPool.h"

namespace fs = std::filesystem;
using namespace studio;

namespace
{
constexpr int MaxStep = 64;  // of a render answer's pixels

const Json& FlowMember(const Json& body)
{
	return Member(body, "flow", &Json::is_object, "a flow object");
}

// A flow fault as /api/check and /api/save list it.
nlohmann::ordered_json FaultJson(const std::string& message, const std::optional<std::string>& node,
                                 const std::optional<std::string>& input)
{
	return {{"node", node ? Json(*node) : Json(nullptr)},
	        {"input", input ? Json(*input) : Json(nullptr)},
	        {"message", Escaped(message)}};
}

// A flow's relative file links and saves, taken from folder `from`, rewritten
// to be taken from folder `to`, so they keep naming the same files.
Json RelinkFiles(Json flow, const fs::path& from, const fs::path& to)
{
	const auto relink = [&](Json& text) {
		if (!text.is_string())
			return;
		const std::string file = text.get<std::string>();
		std::string path;
		try
		{
			path = ImageSource::Parse(file).Path;
		}
		catch (const HostError&)
		{
			return;  // saved as it is, with its error
		}
		if (path.empty() || fs::path(path).is_absolute() || file.compare(0, path.size(), path) != 0)
			return;
		text = (from / path).lexically_normal().lexically_relative(to).string() + file.substr(path.size());
	};
	if (flow.contains("nodes") && flow["nodes"].is_object())
		for (auto& [name, node] : flow["nodes"].items())
			if (node.is_object() && node.contains("inputs") && node["inputs"].is_object())
				for (auto& [id, link] : node["inputs"].items())
					if (link.is_object() && link.contains("file"))
						relink(link["file"]);
	if (flow.contains("save") && flow["save"].is_array())
		for (Json& save : flow["save"])
			if (save.is_object() && save.contains("file"))
				relink(save["file"]);
	return flow;
}
}

std::string StudioServer::Impl::FlowFolder() const
{
	std::lock_guard<std::mutex> lock(FlowMutex);
	return OpenPath.empty() ? Settings.Root : fs::path(OpenPath).parent_path().string();
}

Flow StudioServer::Impl::ParseConfined(const Json& document, const std::string& folder,
                                       std::vector<std::string>* warnings) const
{
	const WarningSink warn = [warnings](const std::string& warning) {
		if (warnings)
			warnings->push_back(warning);
	};
	Flow flow = ParseFlow(Host, document, folder, warn);
	for (const FlowNode& node : flow.Nodes)
		for (const FlowLink& link : node.Links)
			if (!link.File.empty())
				try
				{
					Confined(ImageSource::Parse(link.File).Path);
				}
				catch (RequestError& e)
				{
					e.Node = node.Name;
					e.Input = link.Input;
					throw;
				}
	return flow;
}

StudioServer::Impl::Answer StudioServer::Impl::Check(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const Json& document = FlowMember(body);
	Answer errors = Answer::array(), frames = nullptr, keys = nullptr;
	std::vector<std::string> warnings;
	try
	{
		const Flow flow = ParseConfined(document, FlowFolder(), &warnings);
		const std::vector<std::string> inputs = InputFiles(flow);
		const std::vector<int> onDisk = FramesToRender("", "", inputs);
		if (!onDisk.empty())
			frames = {onDisk.front(), onDisk.back()};
		// The whole frames the keys span: what a shot without sequences plays.
		std::optional<std::pair<double, double>> span;
		for (const FlowNode& node : flow.Nodes)
			for (const auto& [id, value] : node.Values)
				for (double frame : value.KeyFrames())
					span = span ? std::pair(std::min(span->first, frame), std::max(span->second, frame))
					            : std::pair(frame, frame);
		if (span)
			keys = {std::floor(span->first), std::ceil(span->second)};
	}
	catch (const HostError& e)
	{
		errors.push_back(FaultJson(e.what(), e.Node, e.Input));
	}
	catch (const RequestError& e)  // a file outside the root, which nothing reads here
	{
		errors.push_back(FaultJson(e.Message, e.Node, e.Input));
	}
	return {{"errors", errors}, {"warnings", warnings}, {"frames", frames}, {"keys", keys}};
}

std::string StudioServer::Impl::FlowFileAsked(const Json& body) const
{
	const std::string given = Member(body, "path", &Json::is_string, "a flow file's path").get<std::string>();
	const std::string path = Confined(given);
	std::error_code ec;
	if (!fs::is_regular_file(path, ec))
		throw RequestError{404, "no such flow file: " + given};
	return path;
}

StudioServer::Impl::Answer StudioServer::Impl::Open(const httplib::Request& request, httplib::Response&)
{
	const std::string path = FlowFileAsked(ParseBody(request.body));
	std::ifstream in(path);
	Json flow = ReadFlowDocument(in, RelativeToRoot(path));
	std::lock_guard<std::mutex> lock(FlowMutex);
	OpenPath = path;
	OpenFlow = flow;
	return {{"path", RelativeToRoot(path)}, {"flow", flow}};
}

StudioServer::Impl::Answer StudioServer::Impl::Save(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const std::string given = Member(body, "path", &Json::is_string, "a flow file's path").get<std::string>();
	const std::string path = Confined(given);
	const fs::path from = FlowFolder(), to = fs::path(path).parent_path();
	const Json flow = RelinkFiles(FlowMember(body), from, to);
	Answer errors = Answer::array();
	try
	{
		ParseConfined(flow, to.string());
	}
	catch (const HostError& e)
	{
		errors.push_back(FaultJson(e.what(), e.Node, e.Input));
	}
	catch (const RequestError& e)  // a file outside the root, which nothing reads here
	{
		errors.push_back(FaultJson(e.Message, e.Node, e.Input));
	}
	static std::mutex saving;  // one write at a time through the temporary file
	std::lock_guard<std::mutex> lock(saving);
	WriteWhole(path, flow.dump(2) + "\n");
	// Saved where its links are taken from, the file becomes the open flow;
	// elsewhere, the page's links would no longer hold, and it stays as it is.
	if (from == to)
	{
		std::lock_guard<std::mutex> flowLock(FlowMutex);
		OpenPath = path;
		OpenFlow = flow;
	}
	return {{"path", RelativeToRoot(path)}, {"errors", errors}};
}

StudioServer::Impl::Answer StudioServer::Impl::Render(const httplib::Request& request, httplib::Response& response)
{
	const Json body = ParseBody(request.body);
	const Json& document = FlowMember(body);
	const std::string target = Member(body, "node", &Json::is_string, "a node name").get<std::string>();
	const long long generation =
		Member(body, "generation", &Json::is_number_integer, "an integer").get<long long>();
	const std::string input = TextMember(body, "input", "an image input ID");
	const std::string page = TextMember(body, "page", "a page ID");
	const PixelEncoding encoding = EncodingAsked(body);
	std::optional<int> frame;
	if (body.contains("frame"))
		frame = IntMember(body, "frame", "an integer frame");
	int step = 1;
	if (body.contains("step"))
	{
		const Json& number = Member(body, "step", &Json::is_number_integer, "an integer step");
		const bool inRange = number.is_number_unsigned()
		                         ? number.get<unsigned long long>() >= 1 && number.get<unsigned long long>() <= MaxStep
		                         : number.get<long long>() >= 1 && number.get<long long>() <= MaxStep;
		if (!inRange)
			throw RequestError{400, "step " + number.dump() + " is not 1 to " + std::to_string(MaxStep)};
		step = number.get<int>();
	}
	std::array<long long, 4> region{0, 0, LLONG_MAX, LLONG_MAX};  // x, y, width, height
	if (body.contains("region"))
	{
		const Json& numbers = Member(body, "region", &Json::is_array, "[x, y, width, height]");
		if (numbers.size() != 4 || !std::all_of(numbers.begin(), numbers.end(), [](const Json& number) {
			    return number.is_number_integer() && number.get<long long>() >= 0;
		    }))
			throw RequestError{400, "request needs \"region\": [x, y, width, height], whole numbers from 0"};
		for (size_t i = 0; i < 4; ++i)
			region[i] = numbers[i].get<long long>();
	}

	// The tag of the picture the page holds for this very request, if any.
	const std::string held = TextMember(body, "have", "a picture's tag");

	Announce(page, generation);
	std::vector<std::string> warnings;
	const Flow parsed = ParseConfined(document, FlowFolder(), &warnings);
	const std::vector<std::string> inputs = InputFiles(parsed);
	const bool sequences = std::any_of(inputs.begin(), inputs.end(), IsSequencePath);

	std::lock_guard<std::mutex> lock(RenderMutex);
	// A newer render of the page cancels this one where it stands (`Announce`).
	const auto cancel = std::make_shared<std::atomic<bool>>(false);
	if (!StartRunning(page, generation, cancel))
		throw RequestError{409, "stale"};
	struct Running
	{
		Impl& Server;
		const std::string& Page;
		long long Generation;
		~Running() { Server.StopRunning(Page, Generation); }
	} running{*this, page, generation};
	const RenderCancel cancelScope(cancel.get());
	// The frame asked for, which animated values take even without
	// sequences; else the first on disk of the flow's sequences, else 0.
	const int at = frame ? *frame : sequences ? FramesToRender("", "", inputs).front() : 0;
	// Expressions count time as `qz flow` does: in the main input's rate when the flow sets none.
	const std::optional<Flow> rated = WithMainInputRate(parsed, at);
	const Flow& flow = rated ? *rated : parsed;
	EvaluatorSettings settings;
	settings.ResolveFile = [this](const std::string& path) { return Confined(path); };
	Evaluator evaluator(flow, Cache, settings);
	const std::optional<size_t> node = evaluator.NodeIndex(target);
	if (!node)
	{
		HostError error(ErrorKind::Usage, "flow node \"" + Excerpt(target) + "\" does not exist");
		error.Node = target;
		throw error;
	}
	SharedImage image;
	Evaluation evaluation;
	try
	{
		if (!input.empty())
			image = evaluator.InputPicture(*node, input, at, &evaluation).Pixels;
		else
		{
			evaluation = evaluator.Evaluate({*node}, at);
			image = evaluation.Outputs[*node]->Out.Pixels;
		}
	}
	catch (const RenderCancelled&)
	{
		throw RequestError{409, "stale"};
	}
	Answer readouts = Answer::object();
	for (size_t n = 0; n < evaluation.Readouts.size(); ++n)
		for (const auto& [id, value] : evaluation.Readouts[n])
			readouts[flow.Nodes[n].Name][id] = JsonNumber(value);

	KeepShown(page, generation, image);
	response.set_header("X-Qz-Width", std::to_string(image->Width));
	response.set_header("X-Qz-Height", std::to_string(image->Height));
	response.set_header("X-Qz-Readouts", readouts.dump(-1, ' ', true));
	response.set_header("X-Qz-Cached", evaluation.Rendered.empty() ? "1" : "0");
	response.set_header("X-Qz-Rendered", Json(evaluation.Rendered).dump(-1, ' ', true));
	response.set_header("X-Qz-Warnings", Json(warnings).dump(-1, ' ', true));
	// The region asked for, within the picture.
	const size_t left = std::min<long long>(region[0], image->Width), bottom = std::min<long long>(region[1], image->Height);
	const size_t regionWidth = std::min<long long>(region[2], image->Width - left),
	             regionHeight = std::min<long long>(region[3], image->Height - bottom);
	response.set_header("X-Qz-Step", std::to_string(step));
	response.set_header("X-Qz-Region", std::to_string(left) + " " + std::to_string(bottom) + " " +
	                                       std::to_string(regionWidth) + " " + std::to_string(regionHeight));
	// The answer's pixels follow from the node's content hash and how they
	// are sent, so a page holding the pixels of the same tag is told to
	// keep them (204) rather than sent them again; the picture is kept as
	// this generation's all the same, for its exact values.
	const std::string tag = HashBuilder()
	                            .Add(evaluator.NodeHash(*node, at))
	                            .Add(input)
	                            .Add(body.value("format", Json()).dump())
	                            .Add(body.value("display", Json()).dump())
	                            .Add(int64_t(step))
	                            .Add(int64_t(left))
	                            .Add(int64_t(bottom))
	                            .Add(int64_t(regionWidth))
	                            .Add(int64_t(regionHeight))
	                            .Finish()
	                            .Hex();
	response.set_header("X-Qz-Tag", tag);
	if (!held.empty() && held == tag)
	{
		response.status = 204;
		return nullptr;
	}
	SendPixels(response, image, bottom * image->Width + left, (regionWidth + step - 1) / step,
	           (regionHeight + step - 1) / step, step, encoding);
	return nullptr;
}
