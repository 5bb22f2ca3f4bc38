// The studio's server, driven over HTTP as the page drives it: who it
// answers, which files it touches, how it fails, and that it renders what
// qz run renders.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <limits>
#include <regex>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "QzFixture.h"
#include <httplib.h>

#include "qz/colour/ColourConfig.h"
#include "qz/studio/StudioServer.h"

using nlohmann::json;

namespace
{
struct Answer
{
	int Status = 0;
	std::string Body;
	httplib::Headers Headers;
	json Json() const { return json::parse(Body, nullptr, false); }
	std::string Header(const std::string& name) const
	{
		const auto found = Headers.find(name);
		return found == Headers.end() ? "" : found->second;
	}
};

json Node(const std::string& tool, json inputs, json values = json::object())
{
	return {{"tool", tool}, {"inputs", inputs}, {"values", values}};
}

json FileInput(const std::string& file, const std::string& id = "Input")
{
	return {{id, {{"file", file}}}};
}
}

class Studio : public Qz
{
protected:
	void SetUp() override
	{
		Qz::SetUp();
		Outside = Dir.string() + "-outside";
		fs::create_directories(Outside);
		fs::copy_file(Path("depth.exr"), Outside / "depth.exr");
		std::ofstream(Outside / "flow.json") << R"({"nodes": {}})";
		fs::create_symlink(Outside, Dir / "link");
		fs::create_directories(Dir / "page" / "assets");
		std::ofstream(Dir / "page" / "index.html") << "<!doctype html>";
		std::ofstream(Dir / "page" / "assets" / "app.js") << "1";

		StudioSettings settings;
		settings.Root = Dir.string();
		settings.PageDir = (Dir / "page").string();
		Server = std::make_unique<StudioServer>(Plugins(), settings);
		Port = Server->Bind(0);
		Serving = std::thread([this] { Server->Serve(); });
	}
	void TearDown() override
	{
		Server->Stop();
		Serving.join();
		fs::remove_all(Outside);
		Qz::TearDown();
	}

	std::string Host() const { return "127.0.0.1:" + std::to_string(Port); }

	/// A request with the token and this server's Host unless `headers` set others.
	Answer Send(const std::string& method, const std::string& path, const std::string& body = "",
	            httplib::Headers headers = {}) const
	{
		if (!headers.count("X-Qz-Token"))
			headers.emplace("X-Qz-Token", Server->Token());
		for (auto header = headers.begin(); header != headers.end();)
			header = header->second.empty() ? headers.erase(header) : std::next(header);  // "" leaves it out
		httplib::Client client("127.0.0.1", Port);
		client.set_read_timeout(120);
		const httplib::Result result = method == "GET"      ? client.Get(path.c_str(), headers)
		                               : method == "DELETE" ? client.Delete(path.c_str(), headers)
		                                                    : client.Post(path.c_str(), headers, body, "application/json");
		return result ? Answer{result->status, result->body, result->headers} : Answer{};
	}
	Answer Post(const std::string& path, const json& body) const { return Send("POST", path, body.dump()); }

	Answer Render(const json& flow, const std::string& node, long long generation, json extra = json::object()) const
	{
		extra.update({{"flow", flow}, {"node", node}, {"generation", generation}});
		return Post("/api/render", extra);
	}

	fs::path Outside;
	std::unique_ptr<StudioServer> Server;
	int Port = 0;
	std::thread Serving;
};

TEST_F(Studio, AnswersOnlyThisPageOfThisServer)
{
	const std::string token = Server->Token(), cookie = "qz_studio=" + token;
	struct Case
	{
		std::string Path;
		httplib::Headers Headers;
		int Status;
	};
	const std::vector<Case> cases = {
		{"/api/session", {}, 200},
		{"/api/session", {{"X-Qz-Token", ""}}, 403},
		{"/api/session", {{"X-Qz-Token", token + "0"}}, 403},
		{"/api/session", {{"X-Qz-Token", ""}, {"Cookie", cookie}}, 403},  // the API takes the header only
		{"/api/session", {{"Host", "localhost:" + std::to_string(Port)}}, 200},
		{"/api/session", {{"Host", "attacker.example:" + std::to_string(Port)}}, 403},  // DNS rebinding
		{"/api/session", {{"Host", "127.0.0.1:1"}}, 403},
		{"/api/session", {{"Origin", "http://" + Host()}}, 200},
		{"/api/session", {{"Origin", "http://attacker.example"}}, 403},
		{"/api/session", {{"Origin", "https://" + Host()}}, 403},
		{"/api/session", {{"Origin", "null"}}, 403},
		{"/?token=" + token, {}, 200},
		{"/index.html?token=" + token, {}, 200},
		{"/?token=" + token + "0", {}, 403},
		{"/", {}, 403},
		{"/assets/app.js", {}, 403},
		{"/assets/app.js", {{"Cookie", "other=1; " + cookie}}, 200},
		{"/assets/app.js?token=" + token, {}, 403},  // the token opens the page only
		{"/assets/../../depth.exr", {{"Cookie", cookie}}, 404},
		{"/assets/none.js", {{"Cookie", cookie}}, 404},
	};
	for (const Case& c : cases)
	{
		const Answer answer = Send("GET", c.Path, "", c.Headers);
		EXPECT_EQ(answer.Status, c.Status) << c.Path << " " << (c.Headers.empty() ? "" : c.Headers.begin()->second);
		if (c.Status == 403)
		{
			EXPECT_TRUE(answer.Json().contains("error")) << answer.Body;
		}
	}
	EXPECT_EQ(Send("GET", "/?token=" + token).Header("Set-Cookie"),
	          cookie + "; Path=/; HttpOnly; SameSite=Strict");
	EXPECT_EQ(Server->Url(), "http://" + Host() + "/?token=" + token);
	EXPECT_EQ(token.size(), 32u);
	EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST_F(Studio, TouchesNoFileOutsideTheRoot)
{
	const json flow = {{"nodes", json::object()}};
	struct Case
	{
		std::string Path;
		json Body;
	};
	const std::vector<Case> cases = {
		{"/api/open", {{"path", "../" + Outside.filename().string() + "/flow.json"}}},
		{"/api/open", {{"path", (Outside / "flow.json").string()}}},
		{"/api/open", {{"path", "link/flow.json"}}},
		{"/api/save", {{"path", "../saved.json"}, {"flow", flow}}},
		{"/api/save", {{"path", "link/saved.json"}, {"flow", flow}}},
		{"/api/render", {{"flow", {{"nodes", {{"a", Node("ZDevider", FileInput("link/depth.exr"))}}}}}, {"node", "a"},
		                 {"generation", 1}}},
		{"/api/render", {{"flow", {{"nodes", {{"a", Node("ZDevider", FileInput((Outside / "depth.exr").string()))}}}}},
		                 {"node", "a"}, {"generation", 1}}},
	};
	for (const Case& c : cases)
	{
		const Answer answer = Post(c.Path, c.Body);
		EXPECT_EQ(answer.Status, 403) << c.Body.dump();
		EXPECT_NE(answer.Json().value("error", "").find("outside the root"), std::string::npos) << answer.Body;
	}
	for (const std::string& dir : {std::string(".."), std::string("link"), Outside.string()})
		EXPECT_EQ(Send("GET", "/api/files?dir=" + dir).Status, 403) << dir;
	EXPECT_EQ(Post("/api/render", cases[5].Body).Json().value("input", ""), "Input");
	EXPECT_FALSE(fs::exists(Outside / "saved.json"));
	EXPECT_FALSE(fs::exists(Dir.parent_path() / "saved.json"));

	// Inside the root, however the path is written.
	EXPECT_EQ(Send("GET", "/api/files?dir=page/..").Json()["dir"], "");
	EXPECT_EQ(Render({{"nodes", {{"a", Node("ZDevider", FileInput("page/../depth.exr"))}}}}, "a", 1).Status, 200);
}

TEST_F(Studio, AnswersEveryBadRequestWithAJsonErrorAndKeepsServing)
{
	const json valid = {{"nodes", {{"a", Node("ZDevider", FileInput("depth.exr"))}}}};
	struct Case
	{
		std::string Method, Path, Body;
		int Status;
	};
	const std::vector<Case> cases = {
		{"POST", "/api/check", "{\"flow\": ", 400},
		{"POST", "/api/check", "[1, 2]", 400},
		{"POST", "/api/check", R"({"flow": "a.json"})", 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", "1"}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", 1}, {"generation", 1}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"frame", 1.5}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"frame", 1LL << 40}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"step", 0}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"step", 65}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"format", "png"}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"region", {0, 0, 1}}}.dump(), 400},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"region", {0, -1, 1, 1}}}.dump(), 400},
		{"POST", "/api/open", R"({"path": ["a"]})", 400},
		{"POST", "/api/check", std::string(1000, '[') + std::string(1000, ']'), 400},
		{"POST", "/api/check", "{\"flow\": \"" + std::string(17 << 20, 'x') + "\"}", 413},
		{"GET", "/api/nothing", "", 404},
		{"POST", "/api/open", R"({"path": "none.json"})", 404},
		{"GET", "/api/render", "", 405},
		{"DELETE", "/api/session", "", 405},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "b"}, {"generation", 1}}.dump(), 422},
		{"POST", "/api/render", json{{"flow", valid}, {"node", "a"}, {"generation", 1}, {"input", "Nope"}}.dump(), 422},
	};
	for (const Case& c : cases)
	{
		const Answer answer = Send(c.Method, c.Path, c.Body);
		EXPECT_EQ(answer.Status, c.Status) << c.Method << " " << c.Path << " " << Excerpt(c.Body);
		EXPECT_TRUE(answer.Json().contains("error")) << answer.Body;
	}
	EXPECT_EQ(Send("GET", "/api/session").Status, 200);

	// A refused request's body, never read, is not taken for the next request.
	httplib::Client client("127.0.0.1", Port);
	client.set_keep_alive(true);
	EXPECT_EQ(client.Post("/api/check", std::string(100000, '{'), "application/json")->status, 403);
	EXPECT_EQ(client.Get("/api/session", {{"X-Qz-Token", Server->Token()}})->status, 200);
}

TEST_F(Studio, NamesTheNodeAndInputOfAFlowFault)
{
	const json unconnected = {{"nodes", {{"a", Node("ZDevider", json::object())}}}};
	const json check = Post("/api/check", {{"flow", unconnected}}).Json();
	EXPECT_EQ(check["errors"], json::parse(R"([{"node": "a", "input": "Input",
		"message": "flow node \"a\" input \"Input\": is required but not connected"}])"));
	EXPECT_EQ(check["frames"], nullptr);
	EXPECT_EQ(check["warnings"], json::array());

	// A doubtful value is no fault: the flow renders, and the answer says why it may not be meant.
	const json doubtful = {{"nodes", {{"a", Node("StereoSwitch", FileInput("depth.exr", "LeftImage"), {{"Input", "Middle"}})}}}};
	const json warned = Post("/api/check", {{"flow", doubtful}}).Json();
	EXPECT_EQ(warned["errors"], json::array());
	ASSERT_EQ(warned["warnings"].size(), 1u);
	EXPECT_NE(warned["warnings"][0].get<std::string>().find("Middle"), std::string::npos) << warned["warnings"];

	std::ofstream(Path("huge.json")) << R"({"nodes": {"n": {"tool": "ZDevider", "values": {"Zmax": 1e400}}}})";
	const json open = Post("/api/open", {{"path", "huge.json"}}).Json();
	EXPECT_EQ(open.value("node", ""), "n");
	EXPECT_EQ(open.value("input", ""), "Zmax");

	const Answer render = Render(unconnected, "a", 1);
	EXPECT_EQ(render.Status, 422);
	EXPECT_EQ(render.Json().value("input", ""), "Input");
}

TEST_F(Studio, RendersWhatQzRunRenders)
{
	const json values = {{"PlaneOfFocus", 5}, {"Fstop", 4}};
	const Answer answer =
		Render({{"nodes", {{"remap", Node("ZRemapper", FileInput("depth.exr"), values)}}}}, "remap", 1);
	ASSERT_EQ(answer.Status, 200) << answer.Body;
	const QzRun run = Run({"run", "ZRemapper", "-i", "Input=" + Path("depth.exr"), "-s", "PlaneOfFocus=5", "-s",
	                       "Fstop=4", "-o", Path("out.exr"), "--json"});
	ASSERT_EQ(run.Status, 0) << run.Err;

	ImagePtr written(ReadImageFile(Path("out.exr")));
	ASSERT_EQ(answer.Header("X-Qz-Width"), std::to_string(written->Width));
	ASSERT_EQ(answer.Header("X-Qz-Height"), std::to_string(written->Height));
	ASSERT_EQ(answer.Body.size(), written->PixelCount() * 4 * sizeof(float));
	std::vector<float> expected;
	for (int y = 0; y < written->Height; ++y)  // row 0 at the bottom, as the answer sends it
		for (int x = 0; x < written->Width; ++x)
		{
			const FltPixel p = PixelAt(*written, x, y);
			expected.insert(expected.end(), {p.R, p.G, p.B, p.A});
		}
	EXPECT_EQ(std::memcmp(answer.Body.data(), expected.data(), answer.Body.size()), 0);
	EXPECT_EQ(json::parse(answer.Header("X-Qz-Readouts"))["remap"], json::parse(run.Out)["readouts"]);

	// An input as its node sees it: the file as read.
	const Answer input = Render({{"nodes", {{"remap", Node("ZRemapper", FileInput("depth.exr"), values)}}}}, "remap",
	                            2, {{"input", "Input"}});
	ASSERT_EQ(input.Status, 200) << input.Body;
	float first[4];
	std::memcpy(first, input.Body.data(), sizeof first);
	EXPECT_EQ(std::vector<float>(first, first + 4), (std::vector<float>{2, 4, 8, 1}));
}

TEST_F(Studio, RendersOnlyWhatChanged)
{
	const auto flow = [](double fstop, double zmax) {
		return json{{"nodes",
		             {{"remap", Node("ZRemapper", FileInput("depth.exr"), {{"Fstop", fstop}})},
		              {"divide", Node("ZDevider", {{"Input", {{"node", "remap"}}}}, {{"Zmax", zmax}})}}}};
	};
	struct Step
	{
		json Flow;
		std::string Node;
		json Rendered;
		std::string Cached;
	};
	const std::vector<Step> steps = {
		{flow(2, 10), "divide", {"remap", "divide"}, "0"},
		{flow(2, 10), "divide", json::array(), "1"},
		{flow(2, 10), "remap", json::array(), "1"},
		{flow(2, 20), "divide", {"divide"}, "0"},
		{flow(4, 20), "divide", {"remap", "divide"}, "0"},
		{flow(4, 20), "divide", json::array(), "1"},  // still kept
		{flow(2, 10), "divide", {"divide"}, "0"},     // a node keeps its latest two outputs only
	};
	long long generation = 0;
	for (const Step& step : steps)
	{
		const Answer answer = Render(step.Flow, step.Node, ++generation);
		ASSERT_EQ(answer.Status, 200) << answer.Body;
		EXPECT_EQ(json::parse(answer.Header("X-Qz-Rendered")), step.Rendered) << "step " << generation;
		EXPECT_EQ(answer.Header("X-Qz-Cached"), step.Cached) << "step " << generation;
		EXPECT_TRUE(json::parse(answer.Header("X-Qz-Readouts")).contains("remap")) << "cached nodes' read-outs too";
	}
	// A file written anew is read anew, also where it is shown as an input.
	WriteImageFile(*MakeImage(6, 4, Pixel(0.5f, 0.5f, 0.5f)), Path("depth.exr"));
	EXPECT_EQ(json::parse(Render(flow(2, 10), "divide", ++generation).Header("X-Qz-Rendered")),
	          json({"remap", "divide"}));
	const Answer input = Render(flow(2, 10), "remap", ++generation, {{"input", "Input"}});
	ASSERT_EQ(input.Body.size(), 6u * 4 * 4 * sizeof(float));
	float first[4];
	std::memcpy(first, input.Body.data(), sizeof first);
	EXPECT_EQ(first[0], 0.5f);
}

TEST_F(Studio, RefusesARenderOvertakenByANewerOneOfTheSamePage)
{
	const json flow = {{"nodes", {{"a", Node("ZDevider", FileInput("depth.exr"))}}}};
	struct Step
	{
		json Page;  // null: a request naming no page
		long long Generation;
		int Status;
	};
	const std::vector<Step> steps = {
		{nullptr, 5, 200}, {nullptr, 3, 409}, {nullptr, 5, 200},
		{"one", 7, 200},   {"two", 2, 200},   {"one", 6, 409}, {"two", 3, 200}, {nullptr, 4, 409},
	};
	for (const Step& step : steps)
	{
		const Answer answer = Render(flow, "a", step.Generation, step.Page.is_null() ? json::object()
		                                                                              : json{{"page", step.Page}});
		EXPECT_EQ(answer.Status, step.Status) << step.Page << " " << step.Generation;
		if (step.Status == 409)
		{
			EXPECT_EQ(answer.Json(), json({{"error", "stale"}}));
		}
	}
}

TEST_F(Studio, CancelsARenderOvertakenWhileItRuns)
{
	// SSAO at its highest quality over this pass takes many seconds; the
	// newer generation arrives while it runs.
	WriteImageFile(*MakeImage(400, 400, Pixel(0.5f, 0.5f, 5.0f, 1.0f)), Path("pass.exr"));
	const json slow = {{"nodes",
	                    {{"ao", Node("SSAO", {{"Normals", {{"file", "pass.exr"}}}, {"Position", {{"file", "pass.exr"}}}},
	                                 {{"Quality", 320}, {"SampleRad", 400}})}}}};
	std::future<Answer> overtaken = std::async(std::launch::async, [&] { return Render(slow, "ao", 1, {{"page", "p"}}); });
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	const Answer newer = Render({{"nodes", {{"a", Node("ZDevider", FileInput("depth.exr"))}}}}, "a", 2, {{"page", "p"}});
	const Answer old = overtaken.get();
	EXPECT_EQ(old.Status, 409);
	EXPECT_EQ(old.Json(), json({{"error", "stale"}}));
	EXPECT_EQ(newer.Status, 200) << newer.Body;
}

TEST_F(Studio, RefusesARenderJobOfAFaultyFlowAndCancelsOneLeavingNoPartialFile)
{
	// A flow that fails its checks, saves nothing or saves outside the root is refused with the reason.
	const json depth = Node("ZDevider", FileInput("depth.exr"));
	struct Refused
	{
		json Flow;
		int Status;
		std::string Node;
	};
	for (const Refused& refused : std::vector<Refused>{
		     {{{"nodes", {{"a", Node("ZDevider", json::object())}}}, {"save", {{{"node", "a"}, {"file", "a.####.exr"}}}}},
		      422, "a"},
		     {{{"nodes", {{"a", depth}}}}, 422, ""},
		     {{{"nodes", {{"a", depth}}}, {"save", {{{"node", "a"}, {"file", "../a.####.exr"}}}}}, 403, "a"}})
	{
		const Answer answer = Post("/api/render-job", {{"flow", refused.Flow}, {"frames", "1-2"}});
		EXPECT_EQ(answer.Status, refused.Status) << answer.Body;
		EXPECT_EQ(answer.Json().value("node", ""), refused.Node) << answer.Body;
	}

	// SSAO at its highest quality takes many seconds a frame: cancelled
	// during the first, the job ends cancelled with no file of it written.
	WriteImageFile(*MakeImage(400, 400, Pixel(0.5f, 0.5f, 5.0f, 1.0f)), Path("pass.exr"));
	const json slow = {{"nodes",
	                    {{"ao", Node("SSAO", {{"Normals", {{"file", "pass.exr"}}}, {"Position", {{"file", "pass.exr"}}}},
	                                 {{"Quality", 320}, {"SampleRad", 400}})}}},
	                   {"save", {{{"node", "ao"}, {"file", "ao.####.exr"}}}}};
	const Answer started = Post("/api/render-job", {{"flow", slow}, {"frames", "1-3"}});
	ASSERT_EQ(started.Status, 200) << started.Body;
	EXPECT_EQ(Post("/api/render-job", {{"flow", slow}, {"frames", "1-3"}}).Status, 409);
	// The preview renders beside it.
	EXPECT_EQ(Render({{"nodes", {{"a", depth}}}}, "a", 1).Status, 200);
	EXPECT_EQ(Post("/api/render-job/cancel", json::object()).Status, 200);
	json state;
	for (int wait = 0; wait < 1200 && (state = Send("GET", "/api/render-job").Json()).value("state", "") == "running"; ++wait)
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_EQ(state["state"], "cancelled") << state.dump();
	EXPECT_EQ(state["done"], 0) << state.dump();
	for (const auto& entry : fs::directory_iterator(Dir))
	{
		const std::string name = entry.path().filename().string();
		EXPECT_TRUE(name.rfind("ao.", 0) != 0 && name.find(".qz-") == std::string::npos) << name;
	}
}

TEST_F(Studio, SubmitsASavedFlowToSlurmAndFollowsItsTasks)
{
	// sbatch and scontrol stand-ins: sbatch keeps its arguments and the
	// script and answers job 77; scontrol prints the records of tasks.txt, or fails as Slurm does
	// for a job it no longer knows.
	const fs::path bin = Dir / "slurm-bin", records = Dir / "tasks.txt";
	fs::create_directories(bin);
	std::ofstream(bin / "sbatch") << "#!/bin/sh\necho \"$@\" > '" << (Dir / "sbatch-args.txt").string()
	                              << "'\nfor script; do :; done\ncp \"$script\" '" << (Dir / "submitted.sbatch").string()
	                              << "'\necho '77;qzfarm'\n";
	std::ofstream(bin / "scontrol") << "#!/bin/sh\n[ \"$*\" = '--oneliner show job 77' ] && cat '" << records.string()
	                                << "' 2>/dev/null && exit 0\necho 'slurm_load_jobs error: Invalid job id specified' >&2\n"
	                                   "exit 1\n";
	for (const char* program : {"sbatch", "scontrol"})
		fs::permissions(bin / program, fs::perms::owner_all);
	const std::string path = std::getenv("PATH");
	setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
	struct RestorePath
	{
		std::string Path;
		~RestorePath() { setenv("PATH", Path.c_str(), 1); }
	} restore{path};

	const json depth = Node("ZDevider", FileInput("depth.exr"));
	const auto write = [&](const std::string& name, const json& flow) { std::ofstream(Dir / name) << flow.dump(); };
	write("shot.json", {{"nodes", {{"a", depth}}}, {"save", {{{"node", "a"}, {"file", "out/a.####.exr"}}}}});
	write("nothing.json", {{"nodes", {{"a", depth}}}});
	write("outside.json", {{"nodes", {{"a", depth}}}, {"save", {{{"node", "a"}, {"file", "../a.####.exr"}}}}});
	const json job = {{"path", "shot.json"}, {"frames", "1-5"}, {"tasks", 2}};
	const auto jobWith = [&job](const json& change) {
		json request = job;
		request.update(change);
		return request;
	};
	struct Refused
	{
		json Request;
		int Status;
		std::string Node, Says;
	};
	for (const Refused& refused : std::vector<Refused>{
		     {{{"path", "none.json"}, {"frames", "1-5"}}, 404, "", "no such flow file"},
		     {{{"path", "../x.json"}, {"frames", "1-5"}}, 403, "", ""},
		     {{{"path", "nothing.json"}, {"frames", "1-5"}}, 422, "", "saves nothing"},
		     {{{"path", "outside.json"}, {"frames", "1-5"}}, 403, "a", ""},
		     {jobWith({{"tasks", 0}}), 422, "", "--tasks must be 1 or more"},
		     {jobWith({{"tasks", 6}}), 422, "", "6 tasks for 5 frames"},
		     {jobWith({{"tasks", 4294967298LL}}), 400, "", "\"tasks\" 4294967298 is out of range"},  // not 2
		     {jobWith({{"partition", "a b"}}), 422, "", "--partition"}})
	{
		const Answer answer = Post("/api/farm-job", refused.Request);
		EXPECT_EQ(answer.Status, refused.Status) << answer.Body;
		EXPECT_EQ(answer.Json().value("node", ""), refused.Node) << answer.Body;
		EXPECT_NE(answer.Json().value("error", "").find(refused.Says), std::string::npos) << answer.Body;
	}
	EXPECT_FALSE(fs::exists(Dir / "submitted.sbatch"));
	EXPECT_EQ(Send("GET", "/api/farm-job?job=77").Status, 404) << "not submitted by this studio";

	const Answer submitted = Post("/api/farm-job", job);
	ASSERT_EQ(submitted.Status, 200) << submitted.Body;
	EXPECT_EQ(submitted.Json()["job"], "77");
	EXPECT_EQ(submitted.Json()["script"], "shot.sbatch");
	std::stringstream submittedScript;
	submittedScript << std::ifstream(Dir / "submitted.sbatch").rdbuf();
	const std::string script = submittedScript.str();
	std::stringstream sbatchArgs;
	sbatchArgs << std::ifstream(Dir / "sbatch-args.txt").rdbuf();
	EXPECT_EQ(sbatchArgs.str(), "--parsable --chdir=" + Dir.string() + " " + (Dir / "shot.sbatch").string() + "\n")
		<< "the tasks' logs go beside the flow";
	EXPECT_NE(script.find("--frames '1-5'"), std::string::npos) << script;
	EXPECT_NE(script.find("--chunk \"$SLURM_ARRAY_TASK_ID/2\""), std::string::npos) << script;

	// Slurm keeps the pending tasks of an array in one record ("2-4", "5-9:2",
	// "%2" for the tasks run at once) and each started one in its own.
	struct Follow
	{
		std::string Records;
		std::vector<std::pair<int, std::string>> Tasks;
		bool Ended;
	};
	const std::string head = "JobId=77 JobName=shot UserId=root(0) ArrayJobId=77 ";
	for (const Follow& follow : std::vector<Follow>{
		     {head + "ArrayTaskId=2-4%2 JobState=PENDING Reason=JobArrayTaskLimit ExitCode=0:0\nJobId=78 ArrayJobId=77 "
		             "ArrayTaskId=1 JobState=RUNNING Reason=None ExitCode=0:0\n",
		      {{1, "RUNNING"}, {2, "PENDING"}, {3, "PENDING"}, {4, "PENDING"}},
		      false},
		     {head + "ArrayTaskId=5-9:2,12 JobState=PENDING Reason=Priority ExitCode=0:0\n",
		      {{5, "PENDING"}, {7, "PENDING"}, {9, "PENDING"}, {12, "PENDING"}},
		      false},
		     {head + "ArrayTaskId=1 JobState=COMPLETED Reason=None ExitCode=0:0\nJobId=79 ArrayJobId=77 ArrayTaskId=2 "
		             "JobState=FAILED Reason=NonZeroExitCode ExitCode=1:0\n",
		      {{1, "COMPLETED"}, {2, "FAILED"}},
		      true},
		     {head + "ArrayTaskId=1 JobState=COMPLETING Reason=None ExitCode=0:0\n", {{1, "COMPLETING"}}, false}})
	{
		std::ofstream(records) << follow.Records;
		const json state = Send("GET", "/api/farm-job?job=77").Json();
		std::vector<std::pair<int, std::string>> tasks;
		for (const json& task : state["tasks"])
			tasks.emplace_back(task["task"], task["state"]);
		EXPECT_EQ(tasks, follow.Tasks) << follow.Records;
		EXPECT_EQ(state["ended"], follow.Ended) << follow.Records;
	}
	const json failed = Send("GET", "/api/farm-job?job=77").Json();
	EXPECT_EQ(failed["tasks"][0]["exitCode"], "0:0");
	fs::remove(records);
	const Answer forgotten = Send("GET", "/api/farm-job?job=77");
	EXPECT_EQ(forgotten.Status, 422);
	EXPECT_NE(forgotten.Json().value("error", "").find("Invalid job id specified"), std::string::npos) << forgotten.Body;
}

TEST_F(Studio, SendsHalfFloatsToShowAndTheExactFloatsAskedFor)
{
	const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
	// Each value beside the half bits it rounds to, to nearest, ties to even.
	const std::vector<std::pair<float, uint16_t>> values = {
		{1.0f, 0x3c00},        {-0.0f, 0x8000},       {0.1f, 0x2e66},          {65504.0f, 0x7bff},
		{65520.0f, 0x7c00},    {-inf, 0xfc00},        {0x1p-24f, 0x0001},      {0x1p-26f, 0x0000},
		{1 + 0x1p-11f, 0x3c00}, {1 + 0x3p-11f, 0x3c02}, {inf, 0x7c00},          {nan, 0x7e00},
	};
	WriteImageFile(*MakeImage(3, 1, [&](int x, int) {
		               return Pixel(values[x * 4].first, values[x * 4 + 1].first, values[x * 4 + 2].first,
		                            values[x * 4 + 3].first);
	               }),
	               Path("plate.exr"));
	const json flow = {{"nodes", {{"a", Node("ZDevider", FileInput("plate.exr"), {{"Zmax", 1}})}}}};
	const Answer halves = Render(flow, "a", 1, {{"page", "p"}, {"format", "half"}});
	ASSERT_EQ(halves.Status, 200) << halves.Body;
	ASSERT_EQ(halves.Body.size(), values.size() * sizeof(uint16_t));
	for (size_t i = 0; i < values.size(); ++i)
	{
		uint16_t bits;
		std::memcpy(&bits, halves.Body.data() + 2 * i, 2);
		if (std::isnan(values[i].first))
		{
			EXPECT_EQ(bits & 0x7c00, 0x7c00);  // any NaN
			EXPECT_NE(bits & 0x03ff, 0);
		}
		else
		{
			EXPECT_EQ(bits, values[i].second) << values[i].first;
		}
	}

	// Every second pixel of every second row: pixels 0 and 2 of the one row.
	const Answer stepped = Render(flow, "a", 1, {{"page", "p"}, {"format", "half"}, {"step", 2}});
	EXPECT_EQ(stepped.Header("X-Qz-Width"), "3");
	EXPECT_EQ(stepped.Header("X-Qz-Step"), "2");
	EXPECT_EQ(stepped.Body, halves.Body.substr(0, 8) + halves.Body.substr(16, 8));
	struct Region
	{
		json Asked;
		int Step;
		std::string Sent;  // the region sent, within the picture
		size_t First, Count;  // pixels sent, of the one row
	};
	const std::vector<Region> regions = {
		{{1, 0, 2, 1}, 1, "1 0 2 1", 1, 2},
		{{2, 0, 5, 5}, 1, "2 0 1 1", 2, 1},
		{{1, 0, 2, 1}, 2, "1 0 2 1", 1, 1},
		{{0, 0, 3, 1}, 1, "0 0 3 1", 0, 3},
	};
	for (const Region& region : regions)
	{
		const Answer part =
			Render(flow, "a", 1, {{"page", "p"}, {"format", "half"}, {"step", region.Step}, {"region", region.Asked}});
		EXPECT_EQ(part.Header("X-Qz-Region"), region.Sent) << region.Asked;
		EXPECT_EQ(part.Body, halves.Body.substr(region.First * 8, region.Count * 8)) << region.Asked;
	}

	const Answer floats = Render(flow, "a", 2, {{"page", "p"}});
	ASSERT_EQ(floats.Body.size(), values.size() * sizeof(float));
	struct Ask
	{
		std::string Query;
		int Status;
		size_t Offset = 0;  // of the first pixel sent, in the whole picture's floats
	};
	const std::vector<Ask> asks = {
		{"page=p&generation=1&x=0&y=0&width=3&height=1", 200, 0},
		{"page=p&generation=2&x=1&y=0&width=2&height=1", 200, 4 * sizeof(float)},
		{"page=p&generation=3&x=0&y=0&width=1&height=1", 404},
		{"page=q&generation=1&x=0&y=0&width=1&height=1", 404},
		{"generation=1&x=0&y=0&width=1&height=1", 404},
		{"page=p&generation=1&x=2&y=0&width=2&height=1", 400},
		{"page=p&generation=1&x=0&y=-1&width=1&height=1", 400},
		{"page=p&generation=1&x=0&y=0&width=0&height=1", 400},
		{"page=p&generation=1&x=0&y=0&width=1", 400},
		{"page=p&generation=1&x=0&y=0&width=1&height=1x", 400},
	};
	for (const Ask& ask : asks)
	{
		const Answer answer = Send("GET", "/api/pixels?" + ask.Query);
		EXPECT_EQ(answer.Status, ask.Status) << ask.Query << " " << answer.Body;
		if (ask.Status != 200)
		{
			EXPECT_TRUE(answer.Json().contains("error")) << answer.Body;
			continue;
		}
		EXPECT_EQ(answer.Body, floats.Body.substr(ask.Offset)) << ask.Query;
	}
	// Only the pictures a page was sent last are kept.
	for (long long generation = 3; generation < 3 + 4; ++generation)
		ASSERT_EQ(Render(flow, "a", generation, {{"page", "p"}}).Status, 200);
	EXPECT_EQ(Send("GET", "/api/pixels?page=p&generation=2&x=0&y=0&width=1&height=1").Status, 404);
	EXPECT_EQ(Send("GET", "/api/pixels?page=p&generation=3&x=0&y=0&width=1&height=1").Status, 200);
}

TEST_F(Studio, TellsAPageHoldingTheSamePixelsToKeepThem)
{
	const auto flow = [](double zmax) {
		return json{{"nodes", {{"a", Node("ZDevider", FileInput("depth.exr"), {{"Zmax", zmax}})}}}};
	};
	const json half = {{"page", "p"}, {"format", "half"}};
	const Answer first = Render(flow(10), "a", 1, half);
	ASSERT_EQ(first.Status, 200) << first.Body;
	const std::string tag = first.Header("X-Qz-Tag");
	ASSERT_EQ(tag.size(), 32u);

	// The same request, holding its tag: no pixels, and this generation's exact values are read all the same.
	json holding = half;
	holding["have"] = tag;
	const Answer again = Render(flow(10), "a", 2, holding);
	EXPECT_EQ(again.Status, 204);
	EXPECT_EQ(again.Body, "");
	EXPECT_EQ(again.Header("X-Qz-Tag"), tag);
	EXPECT_EQ(again.Header("X-Qz-Step"), "1");
	EXPECT_TRUE(json::parse(again.Header("X-Qz-Readouts")).is_object());
	EXPECT_EQ(Send("GET", "/api/pixels?page=p&generation=2&x=0&y=0&width=1&height=1").Status, 200);

	// Any other picture, or the same sent otherwise, comes whole under its own tag.
	struct Other
	{
		const char* What;
		json Flow, Extra;
	};
	const std::vector<Other> others = {
		{"another value", flow(20), json::object()},
		{"every second pixel", flow(10), {{"step", 2}}},
		{"a region", flow(10), {{"region", {0, 0, 2, 2}}}},
		{"floats", flow(10), {{"format", "float"}}},
		{"the node's input", flow(10), {{"input", "Input"}}},
		{"a tag not its own", flow(10), {{"have", std::string(32, '0')}}},
	};
	long long generation = 2;
	for (const Other& other : others)
	{
		json asked = holding;
		asked.update(other.Extra);
		const Answer answer = Render(other.Flow, "a", ++generation, asked);
		EXPECT_EQ(answer.Status, 200) << other.What;
		EXPECT_FALSE(answer.Body.empty()) << other.What;
		if (other.Extra.contains("have"))
			EXPECT_EQ(answer.Header("X-Qz-Tag"), tag) << other.What;
		else
			EXPECT_NE(answer.Header("X-Qz-Tag"), tag) << other.What;
	}
	// A file written anew makes new pixels of the same request.
	WriteImageFile(*MakeImage(6, 4, Pixel(0.5f, 0.5f, 0.5f)), Path("depth.exr"));
	const Answer rewritten = Render(flow(10), "a", ++generation, holding);
	EXPECT_EQ(rewritten.Status, 200);
	EXPECT_EQ(rewritten.Body.size(), 6u * 4 * 4 * sizeof(uint16_t));
	EXPECT_NE(rewritten.Header("X-Qz-Tag"), tag);
	holding["have"] = 7;
	EXPECT_EQ(Render(flow(10), "a", ++generation, holding).Status, 400);
}

TEST_F(Studio, AnswersOtherRequestsWhileRendering)
{
	WriteImageFile(*MakeImage(256, 256, [](int x, int y) { return Pixel(x % 7, y % 5, 1); }), Path("plate.exr"));
	const json slow = {{"nodes",
	                    {{"blur", Node("Convolution", {{"Image", {{"file", "plate.exr"}}}, {"Kernel", {{"file", "plate.exr"}}}},
	                                   {{"Samples", 5000}})}}}};
	auto render = std::async(std::launch::async, [&] { return Render(slow, "blur", 1); });
	int answeredDuringRender = 0;
	while (render.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
		if (Send("GET", "/api/session").Status == 200 &&
		    render.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
			++answeredDuringRender;
	EXPECT_EQ(render.get().Status, 200);
	// Requests waiting for the render would have been answered after it, one at most before.
	EXPECT_GE(answeredDuringRender, 3);
}

TEST_F(Studio, SavesWholeAndKeepsLinksToTheSameFiles)
{
	fs::create_directories(Dir / "shots" / "a");
	const json flow = {{"nodes", {{"a", Node("ZDevider", FileInput("depth.exr:channel=R"))}}},
	                   {"save", {{{"node", "a"}, {"file", "out/a.exr"}}}}};
	const Answer saved = Post("/api/save", {{"path", "shots/a/flow.json"}, {"flow", flow}});
	ASSERT_EQ(saved.Status, 200) << saved.Body;
	EXPECT_EQ(saved.Json(), json({{"path", "shots/a/flow.json"}, {"errors", json::array()}}));
	const json written = json::parse(std::ifstream(Path("shots/a/flow.json")));
	EXPECT_EQ(written["nodes"]["a"]["inputs"]["Input"]["file"], "../../depth.exr:channel=R");
	EXPECT_EQ(written["save"][0]["file"], "../../out/a.exr");
	EXPECT_EQ(Files(), (std::vector<std::string>{"depth.exr", "link", "page", "shots"})) << "no temporary file left";
	EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "shots" / "a"), {}), 1);

	// Saved even with a fault, which the answer lists.
	const json faulty = {{"nodes", {{"a", Node("ZDevider", json::object())}}}};
	const json answer = Post("/api/save", {{"path", "shots/a/flow.json"}, {"flow", faulty}}).Json();
	EXPECT_EQ(answer["errors"][0]["input"], "Input");
	EXPECT_EQ(json::parse(std::ifstream(Path("shots/a/flow.json"))), faulty);

	// Opened, a flow's links are taken from its folder; saved there, it stays the open flow.
	const json opened = Post("/api/open", {{"path", "shots/a/flow.json"}}).Json();
	EXPECT_EQ(opened["path"], "shots/a/flow.json");
	EXPECT_EQ(Post("/api/save", {{"path", "shots/a/copy.json"}, {"flow", faulty}}).Status, 200);
	EXPECT_EQ(Send("GET", "/api/session").Json()["flowPath"], "shots/a/copy.json");
	EXPECT_EQ(Post("/api/save", {{"path", "elsewhere.json"}, {"flow", faulty}}).Status, 200);
	EXPECT_EQ(Send("GET", "/api/session").Json()["flowPath"], "shots/a/copy.json");
}

// A colour configuration whose two views are LUTs of known values: a
// 17-entry 1D LUT of sqrt(x) and a 5 x 5 x 5 3D LUT, in effect for the test.
struct LutConfiguration
{
	explicit LutConfiguration(const fs::path& folder)
	{
		std::ofstream curve(folder / "curve.spi1d");
		curve << "Version 1\nFrom 0.0 1.0\nLength 17\nComponents 1\n{\n";
		for (int i = 0; i < 17; ++i)
			curve << std::sqrt(i / 16.0) << "\n";
		curve << "}\n";
		std::ofstream cube(folder / "cube.cube");
		cube << "LUT_3D_SIZE 5\n";
		for (int b = 0; b < 5; ++b)
			for (int g = 0; g < 5; ++g)
				for (int r = 0; r < 5; ++r)
					cube << r / 4.0 << " " << g / 4.0 << " " << (4 - b) / 4.0 << "\n";
		std::ofstream(folder / "luts.ocio") << R"(ocio_profile_version: 2
search_path: .
roles: {scene_linear: linear, default: linear}
displays:
  Screen:
    - !<View> {name: Curve, colorspace: curved}
    - !<View> {name: Cube, colorspace: cubed}
colorspaces:
  - !<ColorSpace> {name: linear}
  - !<ColorSpace> {name: curved, from_scene_reference: !<FileTransform> {src: curve.spi1d, interpolation: linear}}
  - !<ColorSpace> {name: cubed, from_scene_reference: !<FileTransform> {src: cube.cube, interpolation: linear}}
)";
		UseColourConfig((folder / "luts.ocio").string());
	}
	~LutConfiguration() { UseColourConfig(""); }
};

TEST_F(Studio, AnswersTheViewTransformAsAShaderWithItsLuts)
{
	const LutConfiguration luts(Dir);
	const Answer curve = Send("GET", "/api/view?display=Screen&view=Curve");
	ASSERT_EQ(curve.Status, 200) << curve.Body;
	const json shader = curve.Json()["shader"];
	const std::string text = shader["text"];
	EXPECT_NE(text.find(shader["functionName"].get<std::string>() + "("), std::string::npos) << text;
	ASSERT_EQ(shader["textures"].size(), 1u) << shader;
	const json lut = shader["textures"][0];
	EXPECT_EQ(std::tuple(lut["width"], lut["height"], lut["channels"], lut["interpolation"]),
	          std::tuple(json(17), json(1), json(1), json("linear")));
	EXPECT_NE(text.find(lut["sampler"].get<std::string>()), std::string::npos);
	ASSERT_EQ(lut["values"].size(), 17u);
	for (int i = 0; i < 17; ++i)
		EXPECT_NEAR(lut["values"][i].get<double>(), std::sqrt(i / 16.0), 1e-5) << i;

	const json cube = Send("GET", "/api/view?view=Cube").Json();  // the default display
	EXPECT_EQ(cube["display"], "Screen");
	EXPECT_EQ(cube["space"], "linear");
	ASSERT_EQ(cube["shader"]["textures3d"].size(), 1u) << cube;
	EXPECT_EQ(cube["shader"]["textures3d"][0]["edge"], 5);
	EXPECT_EQ(cube["shader"]["textures3d"][0]["values"].size(), 5u * 5 * 5 * 3);

	// Unknown names are refused, naming them and what the configuration has.
	const std::vector<std::tuple<std::string, std::string, std::string>> refused{
		{"/api/view?display=Screen&view=Nope", "view \"Nope\"", "Curve, Cube"},
		{"/api/view?display=Nowhere", "display \"Nowhere\"", "Screen"},
		{"/api/view?look=Sepia", "look \"Sepia\"", "none"},
		{"/api/view?space=Nope", "colour space \"Nope\"", "linear, curved, cubed"},
	};
	for (const auto& [path, named, known] : refused)
	{
		const Answer answer = Send("GET", path);
		EXPECT_EQ(answer.Status, 422) << path;
		const std::string error = answer.Json().value("error", "");
		EXPECT_NE(error.find(named), std::string::npos) << error;
		EXPECT_NE(error.find(known), std::string::npos) << error;
	}
}

TEST_F(Studio, SendsDisplayLevelsThroughTheViewTransformExposureFirstGammaLast)
{
	const LutConfiguration luts(Dir);
	// Exposure +1 puts R, G and B on the LUT's entries (or halfway between two, for B of
	// the second pixel); the LUT's input clamps to 0..1, NaN counts as 0.
	ImagePtr picture = MakeImage(2, 1, [](int x, int) {
		return x == 0 ? Pixel(2 / 32.0f, 8 / 32.0f, 0.75f, 0.125f) : Pixel(-1.0f, std::nanf(""), 1 / 64.0f, 0.125f);
	});
	WriteImageFile(*picture, Path("chart.exr"));
	const json flow = {{"nodes", {{"a", Node("ZDevider", FileInput("chart.exr"), {{"Zmax", 1}})}}}};
	json display = {{"display", "Screen"}, {"view", "Curve"}, {"exposure", 1}, {"gamma", 2}};
	// Levels: round(255 * sqrt(lut(2 v))), the LUT giving sqrt at its entries, linear between.
	const std::vector<std::pair<std::string, std::vector<int>>> cases{
		{"rgb", {152, 214, 255, 255, 0, 0, 90, 255}},  // sqrt(sqrt(1/8)), sqrt(sqrt(1/2)), 1; 0, 0, sqrt(1/8)
		{"a", {180, 180, 180, 255, 180, 180, 180, 255}},  // sqrt(sqrt(1/4))
	};
	for (const auto& [channel, levels] : cases)
	{
		display["channel"] = channel;
		const Answer answer = Render(flow, "a", 1, {{"input", "Input"}, {"format", "display"}, {"display", display}});
		ASSERT_EQ(answer.Status, 200) << answer.Body;
		EXPECT_EQ(std::vector<int>(reinterpret_cast<const uint8_t*>(answer.Body.data()),
		                           reinterpret_cast<const uint8_t*>(answer.Body.data()) + answer.Body.size()),
		          levels)
			<< channel;
	}
	display["gamma"] = 0;
	EXPECT_EQ(Render(flow, "a", 2, {{"format", "display"}, {"display", display}}).Status, 400);
	display = {{"view", "Nope"}};
	const Answer unknown = Render(flow, "a", 3, {{"format", "display"}, {"display", display}});
	EXPECT_EQ(unknown.Status, 422);
	EXPECT_NE(unknown.Json().value("error", "").find("\"Nope\""), std::string::npos) << unknown.Body;
}

TEST_F(Studio, ListsFoldersFilesAndSequences)
{
	for (int frame : {1, 2, 4})
		fs::copy_file(Path("depth.exr"), Path("depth." + std::string(frame < 10 ? "000" : "00") +
		                                      std::to_string(frame) + ".exr"));
	fs::copy_file(Path("depth.exr"), Path("take2.exr"));
	std::ofstream(Path("take\xff\x1b.exr")) << "a name that is no UTF-8, with a terminal escape";
	const json listing = Send("GET", "/api/files").Json();
	EXPECT_EQ(listing, json::parse(R"({"dir": "", "entries": [
		{"name": "link", "kind": "dir"}, {"name": "page", "kind": "dir"},
		{"name": "depth.####.exr", "kind": "sequence", "frames": [1, 4]},
		{"name": "depth.exr", "kind": "file"}, {"name": "take2.exr", "kind": "file"},
		{"name": "take\\xff\\x1b.exr", "kind": "file"}]})"));
	const json check = Post("/api/check", {{"flow", {{"nodes", {{"a", Node("ZDevider", FileInput("depth.####.exr"))}}}}}}).Json();
	EXPECT_EQ(check["frames"], json({1, 4}));
}

TEST_F(Studio, EvaluatesAnimatedValuesAtTheFramesAsked)
{
	const json linear = json::parse(R"({"keys": [{"frame": 0, "value": 0}, {"frame": 10, "value": 10}]})");
	const json held = json::parse(R"({"keys": [{"frame": 1, "value": "Left"}, {"frame": 4, "value": "Right"}]})");
	struct Case
	{
		std::string Tool, Input;
		json Value, Request, Values;
	};
	const std::vector<Case> cases = {
		{"ZDevider", "Zmax", linear, {{"from", 5}, {"to", 5}, {"samples", 1}}, {5.0}},
		{"ZDevider", "Zmax", linear, {{"from", -5}, {"to", 15}, {"samples", 5}}, {0.0, 0.0, 5.0, 10.0, 10.0}},
		{"ZDevider", "Zmax", {{"expression", "2*frame"}}, {{"from", 3}, {"to", 3}, {"samples", 1}}, {6.0}},
		{"ZDevider", "Zmax", {{"expression", "time"}}, {{"from", 6}, {"to", 6}, {"samples", 1}, {"fps", 12}}, {0.5}},
		{"ZDevider", "Zmax", {{"expression", "1/0"}}, {{"from", 0}, {"to", 0}, {"samples", 1}}, {"inf"}},
		{"StereoSwitch", "Input", held, {{"from", 2}, {"to", 5}, {"samples", 2}}, {"Left", "Right"}},
	};
	for (const Case& c : cases)
	{
		json request = c.Request;
		request.update({{"tool", c.Tool}, {"input", c.Input}, {"value", c.Value}});
		const Answer answer = Post("/api/curve", request);
		ASSERT_EQ(answer.Status, 200) << answer.Body;
		EXPECT_EQ(answer.Json()["values"], c.Values) << c.Value;
	}
	EXPECT_EQ(Post("/api/curve", {{"tool", "ZDevider"}, {"input", "Zmax"}, {"value", linear}, {"from", 0},
	                              {"to", 1}, {"samples", 2}})
	              .Json()["keys"],
	          json({0.0, 10.0}));

	// A fault names the key or the place in the expression, and the node and input it is in.
	const json misordered = json::parse(R"({"keys": [{"frame": 5, "value": 1}, {"frame": 2, "value": 3}]})");
	for (const auto& [value, says] : std::vector<std::pair<json, std::string>>{
		     {misordered, "key 2 (frame 2) comes before key 1"}, {{{"expression", "2*"}}, "at position"}})
	{
		const Answer bad = Post("/api/curve", {{"tool", "ZDevider"}, {"node", "d"}, {"input", "Zmax"}, {"value", value},
		                                       {"from", 0}, {"to", 1}, {"samples", 2}});
		EXPECT_EQ(bad.Status, 422);
		EXPECT_NE(bad.Json().value("error", "").find(says), std::string::npos) << bad.Body;
		EXPECT_EQ(bad.Json().value("node", ""), "d");
		EXPECT_EQ(bad.Json().value("input", ""), "Zmax");
	}

	// Without sequences a render takes the frame asked for, and a check the frames the keys span.
	const auto flow = [](const json& zmax) { return json{{"nodes", {{"d", Node("ZDevider", FileInput("depth.exr"), {{"Zmax", zmax}})}}}}; };
	const json keyed = json::parse(R"({"keys": [{"frame": 1.5, "value": 2}, {"frame": 4, "value": 8}]})");
	const Answer atFrame = Render(flow({{"expression", "frame"}}), "d", 1, {{"frame", 4}});
	const Answer still = Render(flow(4), "d", 2);
	ASSERT_EQ(atFrame.Status, 200) << atFrame.Body;
	EXPECT_EQ(atFrame.Body, still.Body);
	EXPECT_EQ(Post("/api/check", {{"flow", flow(keyed)}}).Json()["keys"], json({1.0, 4.0}));
}

// qz studio as a shell starts it, from a copy of qz in a bin/ folder of its own.
class StudioCommand : public Qz
{
protected:
	void SetUp() override
	{
		Qz::SetUp();
		fs::create_directories(Dir / "bin");
		fs::copy_file(Program, Dir / "bin" / "qz");
		Program = (Dir / "bin" / "qz").string();
	}
};

TEST_F(StudioCommand, StartsWithItsPageOnlyAndPrintsItsAddress)
{
	const QzRun withoutPage = Run({"studio"});
	EXPECT_EQ(withoutPage.Status, 2);
	EXPECT_NE(withoutPage.Err.find("page is missing: " + (Dir / "share/qz/studio/index.html").string()),
	          std::string::npos)
		<< withoutPage.Err;

	fs::create_directories(Dir / "share" / "qz" / "studio");
	std::ofstream(Dir / "share" / "qz" / "studio" / "index.html") << "<!doctype html>";
	std::ofstream(Path("flow.json")) << R"({"nodes": {}})";
	const QzRun outside = Run({"studio", Path("flow.json"), "--root", (Dir / "share").string()});
	EXPECT_EQ(outside.Status, 2);
	EXPECT_NE(outside.Err.find("outside the root"), std::string::npos) << outside.Err;

	int out[2];
	ASSERT_EQ(::pipe(out), 0);
	const pid_t studio = ::fork();
	if (studio == 0)
	{
		::dup2(out[1], 1);
		::execl(Program.c_str(), Program.c_str(), "studio", Path("flow.json").c_str(), nullptr);
		::_exit(127);
	}
	::close(out[1]);
	FILE* printed = ::fdopen(out[0], "r");
	char line[256] = {};
	std::cmatch m;
	// Checked without ASSERT, which would leave the server running.
	const bool started = std::fgets(line, sizeof line, printed) &&
	                     std::regex_match(line, m, std::regex("qz studio: http://127\\.0\\.0\\.1:(\\d+)/\\?token=([0-9a-f]{32})\n"));
	EXPECT_TRUE(started) << line;
	if (started)
	{
		httplib::Client client("127.0.0.1", std::stoi(m[1]));
		const auto session = client.Get("/api/session", {{"X-Qz-Token", m[2]}});
		EXPECT_EQ(session ? json::parse(session->body)["root"] : json(), Dir.string()) << "the flow's folder";
		EXPECT_EQ(session ? json::parse(session->body)["flowPath"] : json(), "flow.json");
	}
	::kill(studio, SIGTERM);
	int status = 0;
	::waitpid(studio, &status, 0);
	std::fclose(printed);
	EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
}
