#include "StudioServer.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>

#include "Describe.h"
#include "FlowRender.h"
#include "Frames.h"
#include "HalfFloats.h"
#include "HostError.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the render answer sends the machine's floats as they are");

namespace
{
constexpr size_t MaxBody = size_t(16) << 20;
constexpr int MaxBodyDepth = 64;
constexpr int MaxStep = 64;  // of a render answer's pixels
const char* const CookieName = "qz_studio";

/// A request refused with its HTTP status.
struct RequestError
{
	int Status;
	std::string Message;
	std::optional<std::string> Node = {}, Input = {};  // where in a flow, when it lies there
};

std::string NewToken()
{
	unsigned char bytes[16];
	for (size_t got = 0; got < sizeof bytes;)
	{
		const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
		if (n < 0 && errno != EINTR)
			throw HostError(ExitRenderFailed, std::string("cannot make a token: ") + std::strerror(errno));
		got += n > 0 ? n : 0;
	}
	static const char digits[] = "0123456789abcdef";
	std::string token;
	for (unsigned char byte : bytes)
		token += {digits[byte >> 4], digits[byte & 15]};
	return token;
}

// Compares without stopping at the first difference, so that the time an
// answer takes tells nothing about the token.
bool SameSecret(const std::string& given, const std::string& secret)
{
	unsigned char differ = given.size() != secret.size();
	for (size_t i = 0; i < secret.size(); ++i)
		differ |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
	return differ == 0;
}

std::string CookieValue(const std::string& header, const std::string& name)
{
	size_t start = 0;
	while (start < header.size())
	{
		const size_t end = std::min(header.find(';', start), header.size());
		std::string pair = header.substr(start, end - start);
		pair.erase(0, pair.find_first_not_of(' '));
		if (pair.compare(0, name.size() + 1, name + "=") == 0)
			return pair.substr(name.size() + 1);
		start = end + 1;
	}
	return "";
}

void SetJson(httplib::Response& response, int status, const nlohmann::ordered_json& body)
{
	response.status = status;
	response.set_content(body.dump(-1, ' ', true), "application/json");
}

void SetError(httplib::Response& response, int status, const std::string& message,
              const std::optional<std::string>& node = {}, const std::optional<std::string>& input = {})
{
	nlohmann::ordered_json body{{"error", message}};
	if (node)
		body["node"] = *node;
	if (input)
		body["input"] = *input;
	SetJson(response, status, body);
}

Json ParseBody(const std::string& body)
{
	const Json::parser_callback_t depthLimit = [](int depth, Json::parse_event_t event, Json&) {
		if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
		    depth >= MaxBodyDepth)
			throw RequestError{400, "request body nests deeper than " + std::to_string(MaxBodyDepth) + " levels"};
		return true;
	};
	try
	{
		Json parsed = Json::parse(body, depthLimit);
		if (!parsed.is_object())
			throw RequestError{400, "request body must be a JSON object"};
		return parsed;
	}
	catch (const Json::exception& e)
	{
		throw RequestError{400, std::string("malformed request body: ") + e.what()};
	}
}

const Json& Member(const Json& body, const char* key, bool (Json::*isType)() const, const char* type)
{
	if (!body.contains(key) || !(body[key].*isType)())
		throw RequestError{400, std::string("request needs \"") + key + "\": " + type};
	return body[key];
}

// A whole number given in the query string.
long long IntegerParam(const httplib::Request& request, const char* name)
{
	const std::string text = request.has_param(name) ? request.get_param_value(name) : "";
	try
	{
		size_t used = 0;
		const long long value = std::stoll(text, &used);
		if (used == text.size())
			return value;
	}
	catch (const std::logic_error&)
	{
	}
	throw RequestError{400, std::string("request needs ") + name + "=INTEGER, not \"" + Excerpt(text) + "\""};
}

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
	        {"message", message}};
}

std::string ContentType(const fs::path& file)
{
	static const std::map<std::string, std::string> types{
		{".html", "text/html; charset=utf-8"}, {".js", "text/javascript"}, {".mjs", "text/javascript"},
		{".css", "text/css"}, {".json", "application/json"}, {".svg", "image/svg+xml"}, {".png", "image/png"},
		{".ico", "image/x-icon"}, {".woff2", "font/woff2"}, {".map", "application/json"}};
	const auto type = types.find(file.extension().string());
	return type == types.end() ? "application/octet-stream" : type->second;
}

std::string ReadWhole(const fs::path& file)
{
	std::ifstream in(file, std::ios::binary);
	return std::string(std::istreambuf_iterator<char>(in), {});
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

// The size and time of last change of a file, for the keys of what it feeds.
std::string FileStamp(const std::string& path)
{
	std::error_code ec;
	const auto size = fs::file_size(path, ec);
	const auto time = fs::last_write_time(path, ec);
	return ec ? "missing" : std::to_string(size) + "@" + std::to_string(time.time_since_epoch().count());
}

// One frame of a sequence collapsed into its pattern: "depth.0007.exr" ->
// "depth.####.exr", padded as the name is.
std::optional<std::string> SequencePattern(const std::string& name)
{
	static const std::regex numbered(R"(^(.*?)(\d+)(\.[^.]+)$)");
	std::smatch m;
	if (!std::regex_match(name, m, numbered))
		return std::nullopt;
	return m[1].str() + std::string(m[2].length(), '#') + m[3].str();
}
}

namespace
{
// Pixels first .. first + count - 1 of `image` as float R, G, B, A into `rgba`.
void CopyRgba(const Image& image, size_t first, size_t count, float* rgba)
{
	if (image.Format() == PixelFormat::Float && image.NumChannels() == 4)
	{
		// Float B, G, R, A as stored: swapped in place, without a read per pixel.
		const uint8_t* stored = image.Data() + first * 4 * sizeof(float);
		for (size_t i = 0; i < count * 4; i += 4)
		{
			float bgra[4];
			std::memcpy(bgra, stored + i * sizeof(float), sizeof bgra);
			rgba[i] = bgra[2], rgba[i + 1] = bgra[1], rgba[i + 2] = bgra[0], rgba[i + 3] = bgra[3];
		}
		return;
	}
	FltPixel pixel;
	for (size_t i = 0; i < count; ++i)
	{
		image.ReadPixel(first + i, pixel);
		rgba[i * 4] = pixel.R, rgba[i * 4 + 1] = pixel.G, rgba[i * 4 + 2] = pixel.B, rgba[i * 4 + 3] = pixel.A;
	}
}
}

const NodeOutput* NodeCache::Find(const std::string& key)
{
	const auto found = Entries.find(key);
	if (found == Entries.end())
		return nullptr;
	Uses.splice(Uses.end(), Uses, found->second.Use);
	std::list<std::string>& group = Groups.at(found->second.Group);
	group.splice(group.end(), group, found->second.GroupUse);
	return &found->second.Output;
}

void NodeCache::Put(const std::string& key, const std::string& group, const NodeOutput& output)
{
	const size_t bytes = output.Out.Pixels->PixelCount() * output.Out.Pixels->PixelBytes();
	if (bytes > Limit)
		return;
	for (auto members = Groups.find(group); members != Groups.end() && members->second.size() >= PerGroup;
	     members = Groups.find(group))
		Drop(members->second.front());
	while (Total + bytes > Limit)
		Drop(Uses.front());
	std::list<std::string>& members = Groups[group];
	Uses.push_back(key);
	members.push_back(key);
	Entries.emplace(key, Entry{output, bytes, group, std::prev(Uses.end()), std::prev(members.end())});
	Total += bytes;
}

void NodeCache::Drop(const std::string& key)
{
	const auto entry = Entries.find(key);
	Total -= entry->second.Bytes;
	Uses.erase(entry->second.Use);
	const auto group = Groups.find(entry->second.Group);
	group->second.erase(entry->second.GroupUse);
	if (group->second.empty())
		Groups.erase(group);
	Entries.erase(entry);
}

StudioServer::StudioServer(const PluginHost& host, StudioSettings settings)
	: Host(host), Settings(std::move(settings)), Secret(NewToken()), Cache(Settings.CacheBytes)
{
	Settings.Root = fs::weakly_canonical(fs::absolute(Settings.Root)).string();
	if (!Settings.FlowPath.empty())
	{
		try
		{
			OpenPath = Confined(Settings.FlowPath);
		}
		catch (const RequestError& e)
		{
			throw HostError(ExitUsage, e.Message);
		}
		std::ifstream in(OpenPath);
		if (!in)
			throw HostError(ExitUsage, "cannot read flow " + Settings.FlowPath);
		OpenFlow = ReadFlowDocument(in, Settings.FlowPath);
	}
	// What `qz list --json` lists, each with what `qz info --json` shows.
	Tools = DescribeTools(Host);
	for (auto& tool : Tools)
	{
		const nlohmann::ordered_json page = DescribeTool(Host, Host.FindTool(tool["classId"].get<std::string>()));
		for (const auto& [key, value] : page.items())
			tool[key] = value;
	}

	Http.new_task_queue = [] { return new httplib::ThreadPool(8); };
	Http.set_payload_max_length(MaxBody);
	Http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
		if (!Refuses(request, response))
			return httplib::Server::HandlerResponse::Unhandled;
		// A refused request's body is never read; what follows it on the
		// connection cannot be told from it.
		response.set_header("Connection", "close");
		return httplib::Server::HandlerResponse::Handled;
	});
	// Answers httplib gives itself (413 for a body over the limit, 400 for a
	// request it cannot parse) are JSON like every other.
	Http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
		if (!response.body.empty())
			return;
		const std::string message = response.status == 413 ? "request body over " + std::to_string(MaxBody >> 20) + " MiB"
		                            : response.status == 400 ? "malformed request"
		                                                     : "request failed";
		SetError(response, response.status, message);
	});
	Http.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
		SetError(response, 500, "unexpected failure");
	});

	Route("GET", "/api/session", &StudioServer::Session);
	Route("GET", "/api/files", &StudioServer::Files);
	Route("POST", "/api/check", &StudioServer::Check);
	Route("POST", "/api/open", &StudioServer::Open);
	Route("POST", "/api/save", &StudioServer::Save);
	Route("POST", "/api/render", &StudioServer::Render);
	Route("GET", "/api/pixels", &StudioServer::Pixels);
	// Whatever no route takes: the page's files, or 405 for an API path
	// asked with another method, or 404.
	const auto unrouted = [this](const httplib::Request& request, httplib::Response& response) {
		const auto api = Methods.find(request.path);
		if (api != Methods.end())
			SetError(response, 405, request.method + " is not allowed on " + request.path);
		else if (request.method == "GET" || request.method == "HEAD")
			ServePage(request, response);
		else
			SetError(response, 404, "no such path: " + Excerpt(request.path));
	};
	Http.Get(".*", unrouted);
	Http.Post(".*", unrouted);
	Http.Put(".*", unrouted);
	Http.Patch(".*", unrouted);
	Http.Delete(".*", unrouted);
	Http.Options(".*", unrouted);
}

int StudioServer::Bind(int port)
{
	const bool bound = port == 0 ? (port = Http.bind_to_any_port(Settings.Listen)) > 0
	                             : Http.bind_to_port(Settings.Listen, port);
	if (!bound)
		throw HostError(ExitUsage, "cannot listen on " + Settings.Listen + " port " + std::to_string(port));
	const std::string address =
		Settings.Listen.find(':') != std::string::npos ? "[" + Settings.Listen + "]" : Settings.Listen;
	Address = address + ":" + std::to_string(port);
	for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
		Hosts.insert(name + (":" + std::to_string(port)));
	Hosts.insert(Address);
	return port;
}

void StudioServer::Serve()
{
	Http.listen_after_bind();
}

std::string StudioServer::Url() const
{
	return "http://" + Address + "/?token=" + Secret;
}

bool StudioServer::Refuses(const httplib::Request& request, httplib::Response& response) const
{
	const std::string host = request.get_header_value("Host");
	if (!Hosts.count(host))
	{
		SetError(response, 403, "refused: the Host header \"" + Excerpt(host) + "\" names no address of this server");
		return true;
	}
	const std::string origin = request.get_header_value("Origin"), scheme = "http://";
	if (request.has_header("Origin") &&
	    (origin.compare(0, scheme.size(), scheme) != 0 || !Hosts.count(origin.substr(scheme.size()))))
	{
		SetError(response, 403, "refused: requests from " + Excerpt(origin) + " are not served");
		return true;
	}
	const bool api = request.path.compare(0, 5, "/api/") == 0;
	const bool page = request.path == "/" || request.path == "/index.html";
	const bool allowed = api ? SameSecret(request.get_header_value("X-Qz-Token"), Secret)
	                         : (page && request.has_param("token") && SameSecret(request.get_param_value("token"), Secret)) ||
	                               SameSecret(CookieValue(request.get_header_value("Cookie"), CookieName), Secret);
	if (!allowed)
	{
		SetError(response, 403, api ? "refused: the X-Qz-Token header is missing or wrong"
		                            : "refused: open the address qz studio printed, with its token");
		return true;
	}
	return false;
}

void StudioServer::Route(const std::string& method, const std::string& path,
                         Answer (StudioServer::*endpoint)(const httplib::Request&, httplib::Response&))
{
	Methods[path].insert(method);
	// Every failure becomes a JSON answer: the server outlives any request.
	const auto handler = [this, endpoint](const httplib::Request& request, httplib::Response& response) {
		try
		{
			const Answer answer = (this->*endpoint)(request, response);
			if (!answer.is_null())
				SetJson(response, 200, answer);
		}
		catch (const RequestError& e)
		{
			SetError(response, e.Status, e.Message, e.Node, e.Input);
		}
		catch (const HostError& e)
		{
			SetError(response, 422, e.what(), e.Node, e.Input);
		}
		catch (const std::bad_alloc&)
		{
			SetError(response, 500, "not enough memory");
		}
		catch (const std::exception& e)
		{
			SetError(response, 500, e.what());
		}
	};
	if (method == "GET")
		Http.Get(path, handler);
	else
		Http.Post(path, handler);
}

void StudioServer::ServePage(const httplib::Request& request, httplib::Response& response) const
{
	const bool index = request.path == "/" || request.path == "/index.html";
	const fs::path relative = fs::path(index ? "index.html" : request.path.substr(1)).lexically_normal();
	const fs::path file = fs::weakly_canonical(fs::path(Settings.PageDir) / relative);
	const fs::path folder = fs::weakly_canonical(Settings.PageDir);
	const std::string rel = file.lexically_relative(folder).string();
	std::error_code ec;
	if (rel.empty() || rel.compare(0, 2, "..") == 0 || !fs::is_regular_file(file, ec))
	{
		SetError(response, 404, "no such path: " + Excerpt(request.path));
		return;
	}
	if (index)
		response.set_header("Set-Cookie", std::string(CookieName) + "=" + Secret + "; Path=/; HttpOnly; SameSite=Strict");
	response.set_content(ReadWhole(file), ContentType(file).c_str());
}

std::string StudioServer::Confined(const std::string& path) const
{
	const fs::path resolved =
		fs::weakly_canonical(fs::path(path).is_absolute() ? fs::path(path) : fs::path(Settings.Root) / path);
	const fs::path relative = resolved.lexically_relative(Settings.Root);
	if (relative.empty() || *relative.begin() == "..")
		throw RequestError{403, "refused: " + path + " lies outside the root " + Settings.Root};
	return resolved.string();
}

std::string StudioServer::RelativeToRoot(const std::string& path) const
{
	return fs::path(path).lexically_relative(Settings.Root).string();
}

std::string StudioServer::FlowFolder() const
{
	std::lock_guard<std::mutex> lock(FlowMutex);
	return OpenPath.empty() ? Settings.Root : fs::path(OpenPath).parent_path().string();
}

Flow StudioServer::ParseConfined(const Json& document, const std::string& folder) const
{
	Flow flow = ParseFlow(Host, document, folder);
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

StudioServer::Answer StudioServer::Session(const httplib::Request&, httplib::Response&)
{
	std::lock_guard<std::mutex> lock(FlowMutex);
	Answer session{{"root", Settings.Root},
	                               {"flowPath", OpenPath.empty() ? Json(nullptr) : Json(RelativeToRoot(OpenPath))},
	                               {"flow", OpenPath.empty() ? Json(nullptr) : OpenFlow},
	                               {"tools", Tools}};
	return session;
}

StudioServer::Answer StudioServer::Files(const httplib::Request& request, httplib::Response&)
{
	const std::string dir = Confined(request.has_param("dir") ? request.get_param_value("dir") : "");
	std::error_code ec;
	if (!fs::is_directory(dir, ec))
		throw RequestError{404, "no such folder: " + Excerpt(request.get_param_value("dir"))};
	std::set<std::string> dirs, files;
	std::set<std::pair<size_t, std::string>> patterns;  // shortest first: "a.#.exr" holds a.9 and a.10
	for (fs::directory_iterator entry(dir, ec), end; !ec && entry != end; entry.increment(ec))
	{
		const std::string name = entry->path().filename().string();
		if (name.empty() || name[0] == '.')
			continue;  // hidden files, and the temporary files of writes in progress
		std::error_code kind;
		if (entry->is_directory(kind))
			dirs.insert(name);
		else if (const std::optional<std::string> pattern = SequencePattern(name))
			patterns.emplace(pattern->size(), *pattern), files.insert(name);
		else
			files.insert(name);
	}
	nlohmann::ordered_json entries = nlohmann::ordered_json::array();
	for (const std::string& name : dirs)
		entries.push_back({{"name", name}, {"kind", "dir"}});
	for (const auto& [length, pattern] : patterns)
	{
		// A pattern with two frames or more on disk, not listed yet, is a
		// sequence; its frames are listed no more as files.
		std::vector<int> frames;
		for (int frame : FramesOnDisk((fs::path(dir) / pattern).string()))
			if (files.count(FramePath(pattern, frame)))
				frames.push_back(frame);
		if (frames.size() < 2)
			continue;
		for (int frame : frames)
			files.erase(FramePath(pattern, frame));
		entries.push_back({{"name", pattern}, {"kind", "sequence"}, {"frames", {frames.front(), frames.back()}}});
	}
	for (const std::string& name : files)
		entries.push_back({{"name", name}, {"kind", "file"}});
	const std::string relative = RelativeToRoot(dir);
	return {{"dir", relative == "." ? "" : relative}, {"entries", entries}};
}

StudioServer::Answer StudioServer::Check(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const Json& document = FlowMember(body);
	Answer errors = Answer::array(), frames = nullptr;
	try
	{
		const Flow flow = ParseConfined(document, FlowFolder());
		const std::vector<std::string> inputs = InputFiles(flow);
		const std::vector<int> onDisk = FramesToRender("", "", inputs);
		if (!onDisk.empty())
			frames = {onDisk.front(), onDisk.back()};
	}
	catch (const HostError& e)
	{
		errors.push_back(FaultJson(e.what(), e.Node, e.Input));
	}
	catch (const RequestError& e)  // a file outside the root, which nothing reads here
	{
		errors.push_back(FaultJson(e.Message, e.Node, e.Input));
	}
	return {{"errors", errors}, {"frames", frames}};
}

StudioServer::Answer StudioServer::Open(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const std::string given = Member(body, "path", &Json::is_string, "a flow file's path").get<std::string>();
	const std::string path = Confined(given);
	std::error_code ec;
	if (!fs::is_regular_file(path, ec))
		throw RequestError{404, "no such flow file: " + given};
	std::ifstream in(path);
	Json flow = ReadFlowDocument(in, given);
	std::lock_guard<std::mutex> lock(FlowMutex);
	OpenPath = path;
	OpenFlow = flow;
	return {{"path", RelativeToRoot(path)}, {"flow", flow}};
}

StudioServer::Answer StudioServer::Save(const httplib::Request& request, httplib::Response&)
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

struct StudioServer::RenderAnswer
{
	Picture Shown;
	std::vector<std::string> Rendered;  // nodes rendered, not taken from the cache
	nlohmann::ordered_json Readouts = nlohmann::ordered_json::object();
};

void StudioServer::RenderNodes(const Flow& flow, const std::string& target, const std::string& input, int frame,
                               RenderAnswer& answer)
{
	// The nodes the target reads, directly or not, and the target itself.
	std::set<std::string> needed{target};
	for (auto node = flow.Nodes.rbegin(); node != flow.Nodes.rend(); ++node)
		if (needed.count(node->Name))
			for (const FlowLink& link : node->Links)
				if (!link.Node.empty())
					needed.insert(link.Node);

	std::map<std::string, Picture> outputs, files;
	std::map<std::string, size_t> keys;  // hash of each node's key, for the keys of the nodes reading it
	for (const FlowNode& node : flow.Nodes)
	{
		if (!needed.count(node.Name))
			continue;
		std::string key = std::string(node.Tool->ID().GetRawString()) + "\n" + Json(node.Values).dump() + "\nat " +
		                  std::to_string(frame);
		for (const FlowLink& link : node.Links)
			if (link.Node.empty())
			{
				const ImageSource source = ImageSource::Parse(link.File);
				const std::string file = Confined(FramePath(source.Path, frame));
				key += "\n" + link.Input + " file " + file + source.Selection() + " " + FileStamp(file);
			}
			else
				key += "\n" + link.Input + " node " + std::to_string(keys.at(link.Node));
		keys[node.Name] = std::hash<std::string>()(key);

		const auto pictures = [&] {
			NodePictures read;
			for (const FlowLink& link : node.Links)
				read.emplace_back(link.Input, link.Node.empty() ? ReadCachedFile(link.File, frame, files)
				                                                : outputs.at(link.Node));
			return read;
		};
		if (node.Name == target && !input.empty())
		{
			NodeRenderer renderer(node);
			renderer.Session().FindImageInput(input);
			for (const auto& [id, picture] : renderer.LineUpInputs(pictures()))
				if (id == input)
					answer.Shown = picture;
			if (!answer.Shown.Pixels)
			{
				HostError error(ExitUsage, "flow node \"" + Excerpt(node.Name) + "\" input \"" + Excerpt(input) +
				                               "\" is not connected");
				error.Node = node.Name;
				error.Input = input;
				throw error;
			}
			return;
		}
		NodeOutput rendered;
		const NodeOutput* output = Cache.Find(key);
		if (!output)
		{
			NodeRenderer renderer(node);
			rendered = renderer.Render(pictures(), frame);
			if (!rendered.Out.Pixels)
			{
				HostError error = renderer.NoOutput("flow node \"" + Excerpt(node.Name) + "\": ", "");
				error.Node = node.Name;
				throw error;
			}
			Cache.Put(key, node.Name + " at " + std::to_string(frame), rendered);
			answer.Rendered.push_back(node.Name);
			output = &rendered;
		}
		outputs[node.Name] = output->Out;
		for (const auto& [id, value] : output->Readouts)
			answer.Readouts[node.Name][id] = JsonNumber(value);
		if (node.Name == target)
			answer.Shown = output->Out;
	}
}

Picture StudioServer::ReadCachedFile(const std::string& file, int frame, std::map<std::string, Picture>& files)
{
	const ImageSource source = ImageSource::Parse(file);
	const std::string path = FramePath(source.Path, frame);
	const std::string group = "file " + path + source.Selection(), key = group + " " + FileStamp(path);
	if (const NodeOutput* cached = Cache.Find(key))
		return cached->Out;
	Picture picture = ReadFileOnce(file, frame, files);
	Cache.Put(key, group, {picture, {}});
	return picture;
}

StudioServer::Answer StudioServer::Render(const httplib::Request& request, httplib::Response& response)
{
	const Json body = ParseBody(request.body);
	const Json& document = FlowMember(body);
	const std::string target = Member(body, "node", &Json::is_string, "a node name").get<std::string>();
	const long long generation =
		Member(body, "generation", &Json::is_number_integer, "an integer").get<long long>();
	const std::string input =
		body.contains("input") ? Member(body, "input", &Json::is_string, "an image input ID").get<std::string>() : "";
	const std::string page =
		body.contains("page") ? Member(body, "page", &Json::is_string, "a page ID").get<std::string>() : "";
	const std::string format =
		body.contains("format") ? Member(body, "format", &Json::is_string, "\"float\" or \"half\"").get<std::string>()
		                        : "float";
	if (format != "float" && format != "half")
		throw RequestError{400, "request needs \"format\": \"float\" or \"half\""};
	std::optional<int> frame;
	if (body.contains("frame"))
	{
		const Json& number = Member(body, "frame", &Json::is_number_integer, "an integer frame");
		if (number.is_number_unsigned() ? number.get<unsigned long long>() > INT_MAX
		                                : number.get<long long>() < INT_MIN || number.get<long long>() > INT_MAX)
			throw RequestError{400, "frame " + number.dump() + " is out of range"};
		frame = number.get<int>();
	}
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

	{
		std::lock_guard<std::mutex> lock(PagesMutex);
		PageRenders& renders = PageOf(page);
		renders.LatestGeneration = std::max(renders.LatestGeneration, generation);
	}
	const Flow flow = ParseConfined(document, FlowFolder());
	if (std::none_of(flow.Nodes.begin(), flow.Nodes.end(), [&](const FlowNode& node) { return node.Name == target; }))
	{
		HostError error(ExitUsage, "flow node \"" + Excerpt(target) + "\" does not exist");
		error.Node = target;
		throw error;
	}
	const std::vector<std::string> inputs = InputFiles(flow);
	const bool sequences = std::any_of(inputs.begin(), inputs.end(), IsSequencePath);

	std::lock_guard<std::mutex> lock(RenderMutex);
	{
		std::lock_guard<std::mutex> pagesLock(PagesMutex);
		if (generation < PageOf(page).LatestGeneration)
			throw RequestError{409, "stale"};
	}
	// Without sequences, one render at time 0; without a frame, the first
	// on disk of the flow's sequences.
	RenderAnswer answer;
	RenderNodes(flow, target, input, !sequences ? 0 : frame ? *frame : FramesToRender("", "", inputs).front(), answer);

	const SharedImage image = answer.Shown.Pixels;
	{
		std::lock_guard<std::mutex> pagesLock(PagesMutex);
		auto& shown = PageOf(page).Shown;
		shown.emplace_back(generation, image);
		if (shown.size() > ShownPerPage)
			shown.pop_front();
	}
	response.set_header("X-Qz-Width", std::to_string(image->Width));
	response.set_header("X-Qz-Height", std::to_string(image->Height));
	response.set_header("X-Qz-Readouts", answer.Readouts.dump(-1, ' ', true));
	response.set_header("X-Qz-Cached", answer.Rendered.empty() ? "1" : "0");
	response.set_header("X-Qz-Rendered", Json(answer.Rendered).dump(-1, ' ', true));
	// The region asked for, within the picture.
	const size_t left = std::min<long long>(region[0], image->Width), bottom = std::min<long long>(region[1], image->Height);
	const size_t regionWidth = std::min<long long>(region[2], image->Width - left),
	             regionHeight = std::min<long long>(region[3], image->Height - bottom);
	response.set_header("X-Qz-Step", std::to_string(step));
	response.set_header("X-Qz-Region", std::to_string(left) + " " + std::to_string(bottom) + " " +
	                                       std::to_string(regionWidth) + " " + std::to_string(regionHeight));
	// 33 MB of floats for a 1920 x 1080 frame, half that as halves, a quarter
	// of that again at every second pixel: converted a slice at a time as the
	// socket takes it, never held whole a second time.
	static constexpr size_t SlicePixels = 16384;
	const bool halves = format == "half";
	const size_t pixelBytes = 4 * (halves ? sizeof(uint16_t) : sizeof(float));
	const size_t width = (regionWidth + step - 1) / step, height = (regionHeight + step - 1) / step;
	const size_t origin = bottom * image->Width + left;
	response.set_content_provider(
		width * height * pixelBytes, "application/octet-stream",
		[image, halves, pixelBytes, step, width, origin, floats = std::vector<float>(),
		 bits = std::vector<unsigned char>()](size_t offset, size_t length, httplib::DataSink& sink) mutable {
			const size_t first = offset / pixelBytes, count = std::min(SlicePixels, length / pixelBytes);
			floats.resize(count * 4);
			for (size_t i = 0; i < count;)  // a run of a row at a time: the whole of it sent, or every step-th pixel
			{
				const size_t row = (first + i) / width, column = (first + i) % width;
				const size_t run = step == 1 ? std::min(count - i, width - column) : 1;
				CopyRgba(*image, origin + row * step * image->Width + column * step, run, floats.data() + 4 * i);
				i += run;
			}
			if (!halves)
				return sink.write(reinterpret_cast<const char*>(floats.data()), count * pixelBytes);
			bits.resize(count * pixelBytes);
			ToHalf(floats.data(), 1, bits.data(), static_cast<int>(count * 4));
			return sink.write(reinterpret_cast<const char*>(bits.data()), bits.size());
		});
	return nullptr;
}

StudioServer::Answer StudioServer::Pixels(const httplib::Request& request, httplib::Response& response)
{
	const std::string page = request.has_param("page") ? request.get_param_value("page") : "";
	const long long generation = IntegerParam(request, "generation"), x = IntegerParam(request, "x"),
	                y = IntegerParam(request, "y"), width = IntegerParam(request, "width"),
	                height = IntegerParam(request, "height");
	SharedImage image;
	{
		std::lock_guard<std::mutex> lock(PagesMutex);
		const auto found = Pages.find(page);
		if (found != Pages.end())
			for (const auto& [shownGeneration, shown] : found->second.Shown)
				if (shownGeneration == generation)
					image = shown;
	}
	if (!image)
		throw RequestError{404, "the picture of render " + std::to_string(generation) + " is no longer kept"};
	if (x < 0 || y < 0 || width < 1 || height < 1 || width > image->Width - x || height > image->Height - y)
		throw RequestError{400, "pixels " + std::to_string(width) + " x " + std::to_string(height) + " at " +
		                            std::to_string(x) + ", " + std::to_string(y) + " lie outside the picture of " +
		                            std::to_string(image->Width) + " x " + std::to_string(image->Height)};
	std::string rows(size_t(width) * height * 4 * sizeof(float), '\0');
	for (long long row = 0; row < height; ++row)
		CopyRgba(*image, size_t(y + row) * image->Width + x, width,
		         reinterpret_cast<float*>(rows.data()) + size_t(row) * width * 4);
	response.body = std::move(rows);  // this httplib's set_content would copy it
	response.set_header("Content-Type", "application/octet-stream");
	return nullptr;
}

StudioServer::PageRenders& StudioServer::PageOf(const std::string& page)
{
	if (!Pages.count(page) && Pages.size() >= MaxPages)
		Pages.erase(std::min_element(Pages.begin(), Pages.end(), [](const auto& a, const auto& b) {
			return a.second.LastRequest < b.second.LastRequest;
		}));
	PageRenders& renders = Pages[page];
	renders.LastRequest = ++Requests;
	return renders;
}
