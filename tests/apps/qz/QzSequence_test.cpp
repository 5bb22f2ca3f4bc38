// qz on frame sequences: one request per frame, missing frames, farm chunks.
#include <signal.h>
#include <unistd.h>

#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>
#include <nlohmann/json.hpp>

#include "QzFixture.h"

namespace
{
class QzSequence : public Qz
{
protected:
	// depth.0001.exr .. depth.0005.exr without frame 4; frame f holds red 10 * f.
	void SetUp() override
	{
		Qz::SetUp();
		for (int frame : {1, 2, 3, 5})
		{
			ImagePtr image = MakeImage(3, 2, Pixel(10.0f * frame, 1.0f, 2.0f));
			WriteImageFile(*image, Path("depth.000" + std::to_string(frame) + ".exr"));
		}
	}

	float RedOf(const std::string& name) { return PixelAt(*ImagePtr(ReadImageFile(Path(name))), 0, 0).R; }
};
}

TEST_F(QzSequence, EachFrameIsOneRequest)
{
	for (const char* pattern : {"out.####.exr", "out.%04d.exr"})
	{
		QzRun run = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-s", "Zmax=10", "--frames",
		                 "1-3", "-o", Path(pattern), "--threads", "2"});
		ASSERT_EQ(run.Status, 0) << run.Err;
		EXPECT_EQ(RedOf("out.0001.exr"), 1.0f);
		EXPECT_EQ(RedOf("out.0003.exr"), 3.0f);
		EXPECT_TRUE(run.Err.empty()) << "no progress bar when stderr is no terminal: " << run.Err;
	}
}

TEST_F(QzSequence, MissingFrameIsAnErrorUnlessSkipped)
{
	QzRun failed = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "1-5", "-o",
	                    Path("out.####.exr")});
	EXPECT_EQ(failed.Status, 1);
	EXPECT_NE(failed.Err.find("depth.0004.exr"), std::string::npos) << failed.Err;
	EXPECT_FALSE(fs::exists(Path("out.0001.exr"))) << "nothing renders when a frame is missing";

	QzRun skipped = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "1-5", "-o",
	                     Path("out.####.exr"), "--skip-missing", "--json"});
	ASSERT_EQ(skipped.Status, 0) << skipped.Err;
	const nlohmann::json report = nlohmann::json::parse(skipped.Out);
	EXPECT_EQ(report["frames"].size(), 4u);
	EXPECT_EQ(report["skipped"], nlohmann::json::array({Path("depth.0004.exr")}));
	EXPECT_NE(skipped.Err.find("skipped 1 frame"), std::string::npos);
	EXPECT_EQ(RedOf("out.0005.exr"), 50.0f);
}

TEST_F(QzSequence, ChunksSplitTheRange)
{
	for (const char* chunk : {"1/2", "2/2"})
		ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "1-3,5", "--chunk", chunk,
		               "-o", Path("out.####.exr")})
		              .Status,
		          0);
	for (const char* name : {"out.0001.exr", "out.0002.exr", "out.0003.exr", "out.0005.exr"})
		EXPECT_TRUE(fs::exists(Path(name))) << name;
	QzRun one = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "1-3,5", "--chunk",
	                 "1/2", "--json"});
	EXPECT_EQ(nlohmann::json::parse(one.Out)["frames"].size(), 2u);
}

TEST_F(QzSequence, AnEmptyChunkHasNothingToDoAndSucceeds)
{
	// Five farm tasks for three frames: tasks 1 and 3 hold none, whatever else they are asked.
	std::ofstream(Path("shot.json")) << R"({"nodes": {"d": {"tool": "ZDevider", "inputs": {"Input": {"file": "depth.####.exr"}}}},
		"save": [{"node": "d", "file": "flowed.####.exr"}]})";
	const std::vector<std::string> run{"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-o", Path("out.####.exr")};
	for (const std::vector<std::string>& command : {run, std::vector<std::string>{"flow", Path("shot.json")}})
		for (const std::vector<std::string>& options :
		     {std::vector<std::string>{}, {"--compression", "zip"}, {"-d", "half", "--skip-existing", "--skip-missing"}})
		{
			std::vector<std::string> args = command;
			args.insert(args.end(), {"--frames", "1-3", "--chunk", "3/5"});
			args.insert(args.end(), options.begin(), options.end());
			const QzRun empty = Run(args);
			EXPECT_EQ(empty.Status, 0) << args[0] << " " << options.size() << ": " << empty.Err;
			EXPECT_EQ(empty.Err, "qz: chunk 3/5 holds no frames of 1-3: nothing to render\n");
		}
	for (const std::string& name : Files())
		EXPECT_TRUE(name.find("out.") == std::string::npos && name.find("flowed.") == std::string::npos) << name;
}

TEST_F(QzSequence, SequenceMistakesAreUsageErrors)
{
	const std::string sequence = "Input=" + Path("depth.####.exr");
	for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
		     {"run", "ZDevider", "-i", sequence, "--frames", "1-3", "-o", Path("single.exr")},
		     {"run", "ZDevider", "-i", sequence, "--frames", "3-1"},
		     {"run", "ZDevider", "-i", sequence, "--frames", "1-3", "--chunk", "3/2"},
		     {"run", "ZDevider", "-i", sequence, "--frames", "1-3", "-o", Path("depth.####.exr")},
	     })
	{
		QzRun run = Run(args);
		EXPECT_EQ(run.Status, 2) << args.back() << ": " << run.Err;
	}
	EXPECT_FALSE(fs::exists(Path("single.exr")));
}

TEST_F(QzSequence, WithoutFramesTheFramesOnDiskRender)
{
	// Frames 1 to 5 are asked for; frame 4 is a gap, reported as a missing frame.
	QzRun gap = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-o", Path("out.####.exr")});
	EXPECT_EQ(gap.Status, 1);
	EXPECT_NE(gap.Err.find("depth.0004.exr"), std::string::npos) << gap.Err;
	QzRun run = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-s", "Zmax=10", "--skip-missing",
	                 "-o", Path("out.####.exr"), "--json"});
	ASSERT_EQ(run.Status, 0) << run.Err;
	EXPECT_EQ(nlohmann::json::parse(run.Out)["frames"].size(), 4u);
	EXPECT_EQ(RedOf("out.0005.exr"), 5.0f);

	// Negative frames as printf and other tools write them.
	for (int frame : {-12, -3})
	{
		ImagePtr image = MakeImage(3, 2, Pixel(-1.0f * frame, 1.0f, 2.0f));
		char name[32];
		std::snprintf(name, sizeof name, "neg.%04d.exr", frame);
		WriteImageFile(*image, Path(name));
	}
	QzRun negative = Run({"run", "ZDevider", "-i", "Input=" + Path("neg.####.exr"), "--frames", "-12--3:9", "-s",
	                      "Zmax=1", "-o", Path("negout.%04d.exr")});
	ASSERT_EQ(negative.Status, 0) << negative.Err;
	EXPECT_EQ(RedOf("negout.-012.exr"), 12.0f);
	EXPECT_EQ(RedOf("negout.-003.exr"), 3.0f);
}

TEST_F(QzSequence, NothingRenderedOrPartlyFailedIsNoSuccess)
{
	// Every frame missing: nothing rendered is a failure, for a farm task too.
	QzRun none = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "4", "--skip-missing"});
	EXPECT_EQ(none.Status, 1) << none.Err;

	// One corrupt frame in a range: --json lists what was written and what failed.
	std::ofstream(Path("depth.0002.exr"), std::ios::trunc) << "not an image";
	QzRun partly = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "1-3", "--threads", "1",
	                    "-o", Path("out.####.exr"), "--json"});
	EXPECT_EQ(partly.Status, 1);
	const nlohmann::json report = nlohmann::json::parse(partly.Out);
	ASSERT_EQ(report["frames"].size(), 1u);
	EXPECT_EQ(report["frames"][0]["output"], Path("out.0001.exr"));
	EXPECT_EQ(report["failed"]["frame"], 2);
	EXPECT_NE(report["failed"]["error"].get<std::string>().find("depth.0002.exr"), std::string::npos);

	// Two saves of one file would lose the first.
	std::ofstream(Path("twice.json")) << nlohmann::json{
		{"nodes", {{"a", {{"tool", "ZDevider"}, {"inputs", {{"Input", {{"file", "depth.0001.exr"}}}}}}}}},
		{"save", {{{"node", "a"}, {"file", "same.exr"}}, {{"node", "a"}, {"file", "./same.exr"}}}}};
	EXPECT_EQ(Run({"flow", Path("twice.json")}).Status, 2);
	EXPECT_FALSE(fs::exists(Path("same.exr")));
}

TEST_F(QzSequence, SkipExistingRendersOnlyTheFramesNotFinished)
{
	const std::vector<std::string> render{"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-s", "Zmax=10",
	                                      "-o", Path("out.####.exr"), "--skip-existing", "--json", "--frames"};
	auto renderFrames = [&](const std::string& range) {
		std::vector<std::string> args = render;
		args.push_back(range);
		return Run(args);
	};
	ASSERT_EQ(renderFrames("1-2").Status, 0);
	// Frame 1 marked to tell whether it renders again; frame 3's output is no image.
	WriteImageFile(*MakeImage(3, 2, Pixel(99.0f, 0.0f, 0.0f)), Path("out.0001.exr"));
	std::ofstream(Path("out.0003.exr")) << "cut short";

	QzRun rest = renderFrames("1-3,5");
	ASSERT_EQ(rest.Status, 0) << rest.Err;
	nlohmann::json report = nlohmann::json::parse(rest.Out);
	EXPECT_EQ(report["existing"], nlohmann::json::array({1, 2}));
	ASSERT_EQ(report["frames"].size(), 2u);
	EXPECT_EQ(report["frames"][0]["frame"], 3);
	EXPECT_NE(rest.Err.find("2 frames already rendered, not rendered again: 1-2"), std::string::npos) << rest.Err;
	EXPECT_EQ(RedOf("out.0001.exr"), 99.0f);
	EXPECT_EQ(RedOf("out.0003.exr"), 3.0f);

	// All done is success, for a requeued farm task; so is done but for missing inputs.
	QzRun done = renderFrames("1-5");
	EXPECT_EQ(done.Status, 1) << "frame 4's input is missing";
	done = renderFrames("1-3,5");
	EXPECT_EQ(done.Status, 0) << done.Err;
	EXPECT_EQ(nlohmann::json::parse(done.Out)["frames"].size(), 0u);
	std::vector<std::string> skipMissing = render;
	skipMissing.insert(skipMissing.end(), {"1-5", "--skip-missing"});
	EXPECT_EQ(Run(skipMissing).Status, 0);

	// Without an output every frame would count as done.
	QzRun noOutput = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "--frames", "1", "--skip-existing"});
	EXPECT_EQ(noOutput.Status, 2);
}

TEST_F(QzSequence, SubmitWritesTheArrayJobAndPassesOnWhatSbatchSays)
{
	std::ofstream(Path("flow.json")) << nlohmann::json{
		{"nodes", {{"z", {{"tool", "ZDevider"}, {"inputs", {{"Input", {{"file", "depth.####.exr"}}}}}}}}},
		{"save", {{{"node", "z"}, {"file", "out.####.exr"}}}}};
	std::ofstream(Path("nosave.json")) << nlohmann::json{
		{"nodes", {{"z", {{"tool", "ZDevider"}, {"inputs", {{"Input", {{"file", "depth.####.exr"}}}}}}}}}};
	const std::vector<std::string> submit{"submit", Path("flow.json"), "--frames", "1-5", "--tasks"};
	auto with = [&](std::vector<std::string> extra) {
		std::vector<std::string> args = submit;
		args.insert(args.end(), extra.begin(), extra.end());
		return args;
	};

	QzRun dry = Run(with({"2", "--threads", "3", "--partition", "gpu", "--time", "1:00:00", "--dry-run"}));
	ASSERT_EQ(dry.Status, 0) << dry.Err;
	for (const std::string& line : std::vector<std::string>
	     {"#SBATCH --array=1-2\n", "#SBATCH --cpus-per-task=3\n", "#SBATCH --partition=gpu\n",
	      "#SBATCH --time=1:00:00\n", "'" + Path("flow.json") + "' --frames '1-5'",
	      "--chunk \"$SLURM_ARRAY_TASK_ID/2\" --threads \"$SLURM_CPUS_PER_TASK\" --skip-existing --quiet\n"})
		EXPECT_NE(dry.Out.find(line), std::string::npos) << line << " not in\n" << dry.Out;

	for (const auto& args : {with({"0"}), with({"6"}), with({"2", "--partition", "a b"}), with({"2", "--threads", "0"}),
	                         std::vector<std::string>{"submit", Path("nosave.json"), "--frames", "1-5", "--tasks", "1"},
	                         std::vector<std::string>{"submit", Path("flow.json"), "--tasks", "1"}})
		EXPECT_EQ(Run(args).Status, 2) << args[4] << " " << args.back();
	EXPECT_FALSE(fs::exists(Path("flow.sbatch")));

	// sbatch from PATH: its job ID is printed, its refusal is one qz: line.
	fs::create_directory(Path("bin"));
	const std::string path = std::getenv("PATH");
	::setenv("PATH", (Path("bin") + ":" + path).c_str(), 1);
	std::ofstream(Path("bin/sbatch")) << "#!/bin/sh\necho \"$@\" >" << Path("sbatch-args") << "\necho '4711;farm'\n";
	fs::permissions(Path("bin/sbatch"), fs::perms::owner_all);
	QzRun submitted = Run(with({"2", "--threads", "3", "--partition", "gpu", "--time", "1:00:00"}));
	EXPECT_EQ(submitted.Status, 0) << submitted.Err;
	EXPECT_EQ(submitted.Out, "4711\n");
	std::ifstream script(Path("flow.sbatch")), args(Path("sbatch-args"));
	EXPECT_EQ(std::string(std::istreambuf_iterator<char>(script), {}), dry.Out);
	EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}), "--parsable " + Path("flow.sbatch") + "\n");

	std::ofstream(Path("bin/sbatch")) << "#!/bin/sh\necho 'sbatch: error: invalid partition' >&2\nexit 1\n";
	QzRun refused = Run(with({"2"}));
	::setenv("PATH", path.c_str(), 1);
	EXPECT_EQ(refused.Status, 1);
	EXPECT_EQ(refused.Err, "qz: sbatch refused " + Path("flow.sbatch") + ": sbatch: error: invalid partition\n");
}

TEST_F(QzSequence, InterruptedRendersLeaveNoTemporaryFiles)
{
	ImagePtr big = MakeImage(1024, 1024, [](int x, int y) { return Pixel(x * 0.001f, y * 0.002f, 0.5f); });
	for (int frame = 1; frame <= 20; ++frame)
		WriteImageFile(*big, Path("big." + std::to_string(1000 + frame) + ".exr"));
	for (int signal : {SIGINT, SIGTERM, SIGHUP})
	{
		const pid_t child = ::fork();
		if (child == 0)
		{
			::execl((std::string(QZ_BIN_DIR) + "/qz").c_str(), "qz", "run", "ZDevider", "-i",
			        ("Input=" + Path("big.####.exr")).c_str(), "--frames", "1001-1020", "--threads", "2", "-q", "-o",
			        Path("cut.####.exr").c_str(), static_cast<char*>(nullptr));
			::_exit(127);
		}
		// Signal as soon as a write is under way.
		const auto writing = [&] {
			const std::vector<std::string> files = Files();
			return std::any_of(files.begin(), files.end(), [](auto& f) { return f.find(".qz-") != std::string::npos; });
		};
		for (int wait = 0; wait < 20000 && !writing(); ++wait)
			::usleep(500);
		::kill(child, signal);
		int status = 0;
		::waitpid(child, &status, 0);
		EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "ends as the signal ends it";
		for (const std::string& file : Files())
			EXPECT_EQ(file.find(".qz-"), std::string::npos) << file;
	}
}

TEST_F(QzSequence, AnimatedValuesRenderAsTheValueAtEachFrameWould)
{
	// Zmax 10 at frame 1 to 30 at frame 3, as keys in a flow, as keys and as
	// an expression on qz run's command line: each frame equals qz run with
	// that frame's value held (red 10 f / 10 f = 1). FoCalc's read-outs
	// follow its focus plane: 5 at frame 1, 10 at frame 2.
	const nlohmann::json keys = {{"keys", {{{"frame", 1}, {"value", 10}}, {{"frame", 3}, {"value", 30}}}}};
	std::ofstream(Path("flow.json")) << nlohmann::json{
		{"nodes",
		 {{"div", {{"tool", "ZDevider"}, {"values", {{"Zmax", keys}}}, {"inputs", {{"Input", {{"file", "depth.####.exr"}}}}}}},
		  {"calc",
		   {{"tool", "FoCalc"},
		    {"values", {{"PlaneOfFocus", {{"expression", "5 * frame"}}}}},
		    {"inputs", {{"Input", {{"file", "depth.####.exr"}}}}}}}}},
		{"save", {{{"node", "div"}, {"file", "flow.####.exr"}}}}};
	QzRun flow = Run({"flow", Path("flow.json"), "--frames", "1-3", "--json"});
	ASSERT_EQ(flow.Status, 0) << flow.Err;
	const nlohmann::json report = nlohmann::json::parse(flow.Out);
	for (const char* value : {"1:10,3:30", "expr:10 * frame", R"({"keys": [{"frame": 1, "value": 10}, {"frame": 3, "value": 30}]})"})
		ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-s", std::string("Zmax=") + value,
		               "--frames", "1-3", "-o", Path("run.####.exr")})
		              .Status,
		          0)
			<< value;
	for (int frame = 1; frame <= 3; ++frame)
	{
		const std::string number = "000" + std::to_string(frame) + ".exr";
		ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("depth.####.exr"), "-s",
		               "Zmax=" + std::to_string(10 * frame), "--frames", std::to_string(frame), "-o", Path("held.####.exr")})
		              .Status,
		          0);
		ImagePtr byFlow(ReadImageFile(Path("flow." + number))), byRun(ReadImageFile(Path("run." + number))),
			held(ReadImageFile(Path("held." + number)));
		EXPECT_TRUE(SameImage(*byFlow, *held)) << frame;
		EXPECT_TRUE(SameImage(*byRun, *held)) << frame;
		EXPECT_EQ(PixelAt(*byFlow, 0, 0).R, 1.0f);

		QzRun calc = Run({"run", "FoCalc", "-i", "Input=" + Path("depth.####.exr"), "-s",
		                  "PlaneOfFocus=" + std::to_string(5 * frame), "--frames", std::to_string(frame), "--json"});
		ASSERT_EQ(calc.Status, 0) << calc.Err;
		EXPECT_EQ(report["frames"][frame - 1]["readouts"]["calc"],
		          nlohmann::json::parse(calc.Out)["frames"][0]["readouts"]);
	}
	EXPECT_NE(report["frames"][0]["readouts"]["calc"], report["frames"][1]["readouts"]["calc"]);
}

TEST_F(QzSequence, AnimatedValuesAreCheckedAtEveryFrameBeforeAnythingRenders)
{
	const std::string input = "Input=" + Path("depth.####.exr");
	const struct
	{
		std::vector<std::string> Args;
		int Status;
		std::string Message;
	} cases[] = {
		// Quality 10 + 390 (f - 1) / 9: 313.3 at frame 8, 356.7 at frame 9.
		{{"SSAO", "-s", "Quality=1:10,10:400", "-i", "Normals=" + Path("depth.####.exr"), "--frames", "1-3,8-10"},
		 2,
		 "qz: SSAO: input \"Quality\" is 356.66666666666663 at frame 9, beyond its hard limit 320\n"},
		{{"ZDevider", "-i", input, "-s", "Zmax=expr:1 / (frame - 3)", "--frames", "1-3"},
		 1,
		 "qz: ZDevider: input \"Zmax\" is inf at frame 3, which no tool can take\n"},
		{{"ZDevider", "-i", input, "-s", "Zmax=3:1,1:2", "--frames", "1-3"},
		 2,
		 "qz: ZDevider: input \"Zmax\": key 2 (frame 1) comes before key 1 (frame 3): keys go in frame order\n"},
		{{"ZDevider", "-i", input, "-s", "Zmax=expr:2 * frme", "--frames", "1-3"},
		 2,
		 "qz: ZDevider: input \"Zmax\": expression \"2 * frme\": Unexpected token \"frme\" at character 5\n"},
	};
	for (const auto& c : cases)
	{
		std::vector<std::string> args = {"run"};
		args.insert(args.end(), c.Args.begin(), c.Args.end());
		args.insert(args.end(), {"-o", Path("out.####.exr")});
		QzRun run = Run(args);
		EXPECT_EQ(run.Status, c.Status) << c.Message;
		EXPECT_EQ(run.Err, c.Message);
		EXPECT_FALSE(fs::exists(Path("out.0001.exr"))) << c.Message;
	}
}

TEST_F(QzSequence, TimeCountsInTheMainInputsFrameRateUnlessTheFlowSetsOne)
{
	// Frames recorded at 12 per second, red 10 f: Zmax = time * 12 is f at
	// 12 frames per second, so red divides to 10; the flow's "fps" of 6
	// makes Zmax 2 f and red 5.
	for (int frame : {1, 2})
	{
		OIIO::ImageSpec spec(3, 2, 4, OIIO::TypeDesc::FLOAT);
		const int rate[2] = {12, 1};
		spec.attribute("FramesPerSecond", OIIO::TypeRational, rate);
		OIIO::ImageBuf image(spec);
		const float pixel[4] = {10.0f * frame, 1, 1, 1};
		OIIO::ImageBufAlgo::fill(image, pixel);
		ASSERT_TRUE(image.write(Path("rated.000" + std::to_string(frame) + ".exr")));
	}
	const auto flowWith = [&](const nlohmann::json& top) {
		nlohmann::json flow = top;
		flow["nodes"] = {{"div",
		                  {{"tool", "ZDevider"},
		                   {"values", {{"Zmax", {{"expression", "time * 12"}}}}},
		                   {"inputs", {{"Input", {{"file", "rated.####.exr"}}}}}}}};
		flow["save"] = {{{"node", "div"}, {"file", "out.####.exr"}}};
		std::ofstream(Path("flow.json")) << flow;
	};
	for (const auto& [top, red] : std::vector<std::pair<nlohmann::json, float>>{{nlohmann::json::object(), 10.0f},
	                                                                            {{{"fps", 6}}, 5.0f}})
	{
		flowWith(top);
		QzRun run = Run({"flow", Path("flow.json"), "--frames", "1-2"});
		ASSERT_EQ(run.Status, 0) << run.Err;
		EXPECT_EQ(RedOf("out.0001.exr"), red) << top.dump();
		EXPECT_EQ(RedOf("out.0002.exr"), red) << top.dump();
	}
	ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("rated.####.exr"), "-s", "Zmax=expr:time * 12", "--frames",
	               "2", "-o", Path("run.####.exr")})
	              .Status,
	          0);
	EXPECT_EQ(RedOf("run.0002.exr"), 10.0f);
}
