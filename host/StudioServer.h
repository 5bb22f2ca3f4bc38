#pragma once
// The studio's HTTP server: serves the page and the API it edits and
// previews flows through, on the same host core as `qz flow`. Every request
// is checked (Host, Origin, token), every path confined to the root, and
// renders run one at a time while other requests are answered.
#include <httplib.h>

#include <climits>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "NodeRender.h"
#include "PluginHost.h"

struct StudioSettings
{
	std::string Root;      // every file read or written lies inside it
	std::string FlowPath;  // the flow opened at start, or ""
	std::string PageDir;   // the page: index.html and assets/
	std::string Listen = "127.0.0.1";
	size_t CacheBytes = size_t(1) << 30;  // node outputs kept, in pixel bytes
};

/// Node outputs by key, the oldest used dropped first beyond a total size,
/// and beyond `PerGroup` outputs of one group (a node at one frame): a
/// slider dragged through many values keeps the latest few, and the memory
/// of the others goes back to the next outputs instead of to the system.
class NodeCache
{
public:
	static constexpr size_t PerGroup = 2;

	explicit NodeCache(size_t limit) : Limit(limit) {}
	/// The output kept under `key`, now the newest used; null when none is.
	const NodeOutput* Find(const std::string& key);
	void Put(const std::string& key, const std::string& group, const NodeOutput& output);

private:
	struct Entry
	{
		NodeOutput Output;
		size_t Bytes;
		std::string Group;
		std::list<std::string>::iterator Use, GroupUse;
	};
	void Drop(const std::string& key);

	size_t Limit, Total = 0;
	std::map<std::string, Entry> Entries;
	std::list<std::string> Uses;                          // keys, oldest used first
	std::map<std::string, std::list<std::string>> Groups;  // keys of each group, oldest used first
};

class StudioServer
{
public:
	/// Reads the flow of `settings.FlowPath`, if any. Throws `HostError`
	/// when it cannot be read.
	StudioServer(const PluginHost& host, StudioSettings settings);

	/// Binds a port of the listening address (0: one the system picks) and
	/// returns it. Throws `HostError` when it cannot.
	int Bind(int port);
	/// Answers requests until `Stop`.
	void Serve();
	void Stop() { Http.stop(); }

	/// The page's address with the token: http://HOST:PORT/?token=TOKEN.
	std::string Url() const;
	const std::string& Token() const { return Secret; }

private:
	using Json = nlohmann::json;
	using Answer = nlohmann::ordered_json;  // keys in the order written
	struct RenderAnswer;

	// Refuses, with its answer set, a request of another site, of a name
	// other than this server's, or without the token.
	bool Refuses(const httplib::Request& request, httplib::Response& response) const;
	void Route(const std::string& method, const std::string& path,
	           Answer (StudioServer::*endpoint)(const httplib::Request&, httplib::Response&));
	void ServePage(const httplib::Request& request, httplib::Response& response) const;

	Answer Session(const httplib::Request&, httplib::Response&);
	Answer Files(const httplib::Request&, httplib::Response&);
	Answer Check(const httplib::Request&, httplib::Response&);
	Answer Open(const httplib::Request&, httplib::Response&);
	Answer Save(const httplib::Request&, httplib::Response&);
	Answer Render(const httplib::Request&, httplib::Response&);
	Answer Pixels(const httplib::Request&, httplib::Response&);

	/// `path` (relative to the root) made absolute and canonical; throws
	/// 403 when it leaves the root.
	std::string Confined(const std::string& path) const;
	std::string RelativeToRoot(const std::string& path) const;
	/// The folder relative file paths of a flow are taken from.
	std::string FlowFolder() const;
	/// A flow as `qz flow` reads it, its files confined to the root.
	Flow ParseConfined(const Json& document, const std::string& folder) const;
	/// Renders `target` at `frame` (also its time) and what it reads, or
	/// only what it reads when `input` asks for one of its inputs.
	void RenderNodes(const Flow& flow, const std::string& target, const std::string& input, int frame,
	                 RenderAnswer& answer);
	/// A file's picture at `frame`, read once while it stays unchanged on
	/// disk: kept in the cache beside the node outputs it feeds.
	Picture ReadCachedFile(const std::string& file, int frame, std::map<std::string, Picture>& files);

	const PluginHost& Host;
	StudioSettings Settings;
	std::string Secret;
	std::set<std::string> Hosts;  // Host headers this server answers to
	std::string Address;          // the page's, as printed
	nlohmann::ordered_json Tools;
	httplib::Server Http;
	std::map<std::string, std::set<std::string>> Methods;  // by API path

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
	};
	static constexpr size_t ShownPerPage = 4, MaxPages = 4;
	/// The page's record, made on its first request (the oldest idle page's
	/// dropped beyond `MaxPages`); call with `PagesMutex` held.
	PageRenders& PageOf(const std::string& page);

	std::mutex PagesMutex;  // guards `Pages`, `Requests`
	std::map<std::string, PageRenders> Pages;
	unsigned long long Requests = 0;

	std::mutex RenderMutex;  // one render at a time; also guards the cache
	NodeCache Cache;
};
