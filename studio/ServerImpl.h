#pragma once
// The studio server's parts, for its own sources only: they alone include
// the HTTP library.
#include <httplib.h>

#include <atomic>
#include <climits>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "qz/colour/ViewTransform.h"
#include "qz/graph/Evaluator.h"
#include "qz/studio/StudioServer.h"

namespace studio
{
using Json = nlohmann::json;
using Answer = nlohmann::ordered_json;  // keys in the order written

constexpr size_t MaxBody = size_t(16) << 20;
constexpr const char* CookieName = "qz_studio";

/// A request refused with its HTTP status.
struct RequestError
{
	int Status;
	std::string Message;
	std::optional<std::string> Node = {}, Input = {};  // where in a flow, when it lies there
};

void SetJson(httplib::Response& response, int status, const Answer& body);
void SetError(httplib::Response& response, int status, const std::string& message,
              const std::optional<std::string>& node = {}, const std::optional<std::string>& input = {});
/// The request's body as a JSON object, nested no deeper than a flow needs.
Json ParseBody(const std::string& body);
/// `body[key]`, which must be of the type `isType` tests (`type` names it).
const Json& Member(const Json& body, const char* key, bool (Json::*isType)() const, const char* type);
/// The text `body[key]`, or "" when there is none; 400 for any other type.
std::string TextMember(const Json& body, const char* key, const char* type);
/// The whole number `body[key]` (`type` names it); 400 for any other type
/// or a number beyond an int.
int IntMember(const Json& body, const char* key, const char* type);
/// A whole number given in the query string.
long long IntegerParam(const httplib::Request& request, const char* name);

/// A fresh secret for the page's token.
std::string NewToken();

/// How a render answer's pixels travel: float or half R, G, B, A, which the
/// page shows through the view transform itself, or the 8-bit R, G, B, A the
/// viewer's display shows, for a page that cannot.
struct PixelEncoding
{
	enum
	{
		Floats,
		Halves,
		Display
	} Kind = Floats;
	std::shared_ptr<const ViewTransform> View;  // for Display
	ViewedChannels Channels = ViewedChannels::Rgb;
	ViewerGrade Grade;
};
/// The encoding a render request's "format" (and, for "display", its
/// "display": {space, display, view, look, channel, exposure, gamma}) asks for.
PixelEncoding EncodingAsked(const Json& body);

/// Sends the region of `image` encoded so, every `step`-th pixel of it,
/// converted a slice at a time as the socket takes it.
void SendPixels(httplib::Response& response, SharedImage image, size_t origin, size_t width, size_t height,
                int step, const PixelEncoding& encoding);
/// Pixels first .. first + count - 1 of `image` as float R, G, B, A into `rgba`.
void CopyRgba(const Image& image, size_t first, size_t count, float* rgba);
}

class StudioServer::Impl
{
public:
	using Json = studio::Json;
	using Answer = studio::Answer;

	Impl(const PluginHost& host, StudioSettings settings);

	const PluginHost& Host;
	StudioSettings Settings;
	std::string Secret;
	std::set<std::string> Hosts;  // Host headers this server answers to
	std::string Address;          // the page's, as printed
	nlohmann::ordered_json Tools;
	httplib::Server Http;
	std::map<std::string, std::set<std::string>> Methods;  // by API path

	// Refuses, with its answer set, a request of another site, of a name
	// other than this server's, or without the token.
	bool Refuses(const httplib::Request& request, httplib::Response& response) const;
	void Route(const std::string& method, const std::string& path,
	           Answer (Impl::*endpoint)(const httplib::Request&, httplib::Response&));
	void ServePage(const httplib::Request& request, httplib::Response& response) const;

	Answer Session(const httplib::Request&, httplib::Response&);
	Answer Files(const httplib::Request&, httplib::Response&);
	Answer Check(const httplib::Request&, httplib::Response&);
	Answer Open(const httplib::Request&, httplib::Response&);
	Answer Save(const httplib::Request&, httplib::Response&);
	Answer Render(const httplib::Request&, httplib::Response&);
	Answer Pixels(const httplib::Request&, httplib::Response&);
	Answer Curve(const httplib::Request&, httplib::Response&);
	Answer View(const httplib::Request&, httplib::Response&);
	Answer StartRenderJob(const httplib::Request&, httplib::Response&);
	Answer RenderJobState(const httplib::Request&, httplib::Response&);
	Answer CancelRenderJob(const httplib::Request&, httplib::Response&);
	Answer SubmitFarmJob(const httplib::Request&, httplib::Response&);
	Answer FarmJobState(const httplib::Request&, httplib::Response&);

	/// `path` (relative to the root) made absolute and canonical; throws
	/// 403 when it leaves the root.
	std::string Confined(const std::string& path) const;
	std::string RelativeToRoot(const std::string& path) const;
	/// The flow file a request's "path" names, made absolute; throws 403
	/// when it leaves the root and 404 when there is no such file.
	std::string FlowFileAsked(const Json& body) const;
	/// The folder relative file paths of a flow are taken from.
	std::string FlowFolder() const;
	/// A flow as `qz flow` reads it, its files confined to the root; its
	/// warnings go to `warnings`, when given.
	Flow ParseConfined(const Json& document, const std::string& folder,
	                   std::vector<std::string>* warnings = nullptr) const;
	/// Throws 403, naming the node, for a save outside the root.
	void ConfineSaves(const Flow& flow) const;

	mutable std::mutex FlowMutex;  // the open flow
	std::string OpenPath;          // absolute, or ""
	Json OpenFlow;

	/// What the server knows of one page: its latest render request, which
	/// makes its older ones stale, and the pictures it was sent last, whose
	/// exact values it may ask for.
	struct PageRenders
	{
		long long LatestGeneration = LLONG_MIN;
		std::deque<std::pair<long long, SharedImage>> Shown;  // by generation, oldest first
		unsigned long long LastRequest = 0;                   // for dropping the page idle longest
		// The render of the page under way, which a newer generation cancels.
		long long RunningGeneration = LLONG_MIN;
		std::shared_ptr<std::atomic<bool>> RunningCancel;
	};
	static constexpr size_t ShownPerPage = 4, MaxPages = 4;
	/// The page's record, made on its first request (the oldest idle page's
	/// dropped beyond `MaxPages`); call with `PagesMutex` held.
	PageRenders& PageOf(const std::string& page);
	/// Takes `generation` as the page's latest, if it is newer, cancelling
	/// the page's render under way when it is older.
	void Announce(const std::string& page, long long generation);
	/// Makes `cancel` the flag of the page's render of `generation`, now under
	/// way; false, with nothing kept, when a newer one was asked for already.
	bool StartRunning(const std::string& page, long long generation, std::shared_ptr<std::atomic<bool>> cancel);
	void StopRunning(const std::string& page, long long generation);
	/// Keeps the picture sent for `generation`, for its exact values.
	void KeepShown(const std::string& page, long long generation, const SharedImage& image);
	/// The picture sent for `generation`, or null when it is no longer kept.
	SharedImage Shown(const std::string& page, long long generation);

	std::mutex PagesMutex;  // guards `Pages`, `Requests`
	std::map<std::string, PageRenders> Pages;
	unsigned long long Requests = 0;

	std::mutex RenderMutex;  // one render at a time
	OutputCache Cache;

	/// The render of a flow's saves over frames, as `qz flow` renders them, on
	/// a thread of its own: one at a time, beside the page's previews.
	struct RenderJob
	{
		std::mutex Mutex;  // guards what follows but `Cancel` and `Worker`
		std::string State = "idle";  // running, done, failed, cancelled
		std::string Frames;          // the range rendered
		size_t Done = 0, Total = 0;
		double Seconds = 0;  // taken so far, or in all once ended
		Answer Errors = Answer::array();
		std::atomic<bool> Cancel{false};
		std::thread Worker;
		~RenderJob();  // cancels the render under way and waits for it
	};

	std::mutex FarmMutex;
	std::set<std::string> FarmJobs;  // the Slurm jobs this server submitted, which the page may follow

	RenderJob Job;  // last: it ends before what its render reads
};
