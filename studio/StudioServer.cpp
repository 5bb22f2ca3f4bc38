// The studio server: its routes, the page it serves and the session it opens with.
#include "ServerImpl.h"

#include <filesystem>
#include <fstream>

#include "qz/core/Describe.h"
#include "qz/core/Error.h"

namespace fs = std::filesystem;
using namespace studio;

namespace
{
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
}

StudioServer::Impl::Impl(const PluginHost& host, StudioSettings settings)
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
			throw HostError(ErrorKind::Usage, e.Message);
		}
		std::ifstream in(OpenPath);
		if (!in)
			throw HostError(ErrorKind::Usage, "cannot read flow " + Settings.FlowPath);
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

	Route("GET", "/api/session", &StudioServer::Impl::Session);
	Route("GET", "/api/files", &StudioServer::Impl::Files);
	Route("POST", "/api/check", &StudioServer::Impl::Check);
	Route("POST", "/api/open", &StudioServer::Impl::Open);
	Route("POST", "/api/save", &StudioServer::Impl::Save);
	Route("POST", "/api/render", &StudioServer::Impl::Render);
	Route("GET", "/api/pixels", &StudioServer::Impl::Pixels);
	Route("POST", "/api/curve", &StudioServer::Impl::Curve);
	Route("GET", "/api/view", &StudioServer::Impl::View);
	Route("POST", "/api/render-job", &StudioServer::Impl::StartRenderJob);
	Route("GET", "/api/render-job", &StudioServer::Impl::RenderJobState);
	Route("POST", "/api/render-job/cancel", &StudioServer::Impl::CancelRenderJob);
	Route("POST", "/api/farm-job", &StudioServer::Impl::SubmitFarmJob);
	Route("GET", "/api/farm-job", &StudioServer::Impl::FarmJobState);
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

StudioServer::StudioServer(const PluginHost& host, StudioSettings settings)
	: Self(std::make_unique<Impl>(host, std::move(settings)))
{
}

StudioServer::~StudioServer() = default;

int StudioServer::Bind(int port)
{
	const bool bound = port == 0 ? (port = Self->Http.bind_to_any_port(Self->Settings.Listen)) > 0
	                             : Self->Http.bind_to_port(Self->Settings.Listen, port);
	if (!bound)
		throw HostError(ErrorKind::Usage, "cannot listen on " + Self->Settings.Listen + " port " + std::to_string(port));
	const std::string address =
		Self->Settings.Listen.find(':') != std::string::npos ? "[" + Self->Settings.Listen + "]" : Self->Settings.Listen;
	Self->Address = address + ":" + std::to_string(port);
	for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
		Self->Hosts.insert(name + (":" + std::to_string(port)));
	Self->Hosts.insert(Self->Address);
	return port;
}

void StudioServer::Serve()
{
	Self->Http.listen_after_bind();
}

void StudioServer::Stop()
{
	Self->Http.stop();
}

std::string StudioServer::Url() const
{
	return "http://" + Self->Address + "/?token=" + Self->Secret;
}

const std::string& StudioServer::Token() const
{
	return Self->Secret;
}

void StudioServer::Impl::Route(const std::string& method, const std::string& path,
                         Answer (StudioServer::Impl::*endpoint)(const httplib::Request&, httplib::Response&))
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

void StudioServer::Impl::ServePage(const httplib::Request& request, httplib::Response& response) const
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

StudioServer::Impl::Answer StudioServer::Impl::Session(const httplib::Request&, httplib::Response&)
{
	std::lock_guard<std::mutex> lock(FlowMutex);
	// The colour configuration fills the viewer's menus; it starts at the
	// configuration's default display and view of scene_linear pictures.
	const DisplayView viewing = ViewTransform({}).Names();
	Answer session{{"root", Settings.Root},
	               {"flowPath", OpenPath.empty() ? Json(nullptr) : Json(RelativeToRoot(OpenPath))},
	               {"flow", OpenPath.empty() ? Json(nullptr) : OpenFlow},
	               {"tools", Tools},
	               {"colour", DescribeColourConfig()},
	               {"viewing", {{"space", "scene_linear"}, {"display", viewing.Display}, {"view", viewing.View}, {"look", ""}}}};
	return session;
}
