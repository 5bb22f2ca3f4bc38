#pragma once
// The studio's HTTP server: serves the page and the API it edits and
// previews flows through, rendering through the same flow evaluator as
// `qz flow`. Every request is checked (Host, Origin, token), every path
// confined to the root, and renders run one at a time while other requests
// are answered.
#include <memory>
#include <string>

#include "qz/core/PluginHost.h"

struct StudioSettings
{
	std::string Root;      // every file read or written lies inside it
	std::string FlowPath;  // the flow opened at start, or ""
	std::string PageDir;   // the page: index.html and assets/
	std::string Listen = "127.0.0.1";
	size_t CacheBytes = size_t(1) << 30;  // node outputs kept, pixels and carried planes
};

class StudioServer
{
public:
	/// Reads the flow of `settings.FlowPath`, if any. Throws `HostError`
	/// when it cannot be read.
	StudioServer(const PluginHost& host, StudioSettings settings);
	~StudioServer();
	StudioServer(const StudioServer&) = delete;
	StudioServer& operator=(const StudioServer&) = delete;

	/// Binds a port of the listening address (0: one the system picks) and
	/// returns it. Throws `HostError` when it cannot.
	int Bind(int port);
	/// Answers requests until `Stop`.
	void Serve();
	void Stop();

	/// The page's address with the token: http://HOST:PORT/?token=TOKEN.
	std::string Url() const;
	const std::string& Token() const;

	class Impl;

private:
	std::unique_ptr<Impl> Self;
};
