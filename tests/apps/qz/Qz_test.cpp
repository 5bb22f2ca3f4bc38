// qz end to end: the executable run on real files, its output, exit statuses
// and the files it leaves.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "QzFixture.h"
#include "qz/core/Describe.h"
#include "qz/core/Error.h"

TEST_F(Qz, ListShowsTheToolsInRegistrationOrder)
{
	QzRun run = Run({"list", "--json"});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const nlohmann::json tools = nlohmann::json::parse(run.Out);
	ASSERT_GE(tools.size(), 2u);
	EXPECT_EQ(tools.front()["name"], "FoCalc");
	EXPECT_EQ(tools.front()["classId"], "Korvane.FoCalc");
	EXPECT_EQ(tools.front()["category"], "QZ_Tools\\DofTools");
	EXPECT_EQ(tools.front()["flags"]["RegFlag03"], 1);
	EXPECT_EQ(tools.back()["name"], "ZDevider");
	EXPECT_EQ(tools.back()["order"], tools.size());

	QzRun text = Run({"list"});
	EXPECT_EQ(text.Status, 0);
	EXPECT_LT(text.Out.find("FoCalc"), text.Out.find("ZDevider"));
}

TEST_F(Qz, InfoShowsThePageInDeclarationOrder)
{
	QzRun run = Run({"info", "korvane.zdevider", "--json"});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const nlohmann::json info = nlohmann::json::parse(run.Out);
	EXPECT_EQ(info["name"], "ZDevider");
	ASSERT_EQ(info["inputs"].size(), 3u);
	EXPECT_EQ(info["inputs"][1]["id"], "Zmax");
	EXPECT_EQ(info["inputs"][1]["caption"], "Pick Zmax from Remapped Z depth");
	EXPECT_EQ(info["inputs"][1]["attributes"]["Default"], 1.0);
	EXPECT_EQ(info["outputs"][0]["id"], "Output");
}

TEST_F(Qz, RunFoCalcPrintsTheWorkedExampleReadouts)
{
	QzRun run = Run({"run", "FoCalc", "-i", "Input=" + Path("depth.exr"), "-o", Path("y.exr"), "--json"});
	ASSERT_EQ(run.Status, 0) << run.Err;
	const nlohmann::json report = nlohmann::json::parse(run.Out);
	EXPECT_EQ(report["tool"], "FoCalc");
	EXPECT_EQ(report["output"], Path("y.exr"));
	const nlohmann::json& r = report["readouts"];
	EXPECT_NEAR(r["FrameAspect"].get<double>(), 1.3333333, 1e-7);
	EXPECT_NEAR(r["CoC"].get<double>(), 0.0207433, 1e-7);
	EXPECT_NEAR(r["HyperFocal"].get<double>(), 43.043089, 1e-6);
	EXPECT_NEAR(r["DoFN"].get<double>(), 7.524354, 1e-6);
	EXPECT_NEAR(r["DoFF"].get<double>(), 11.535117, 1e-6);
	EXPECT_NEAR(r["DoFT"].get<double>(), 4.010763, 1e-6);
	ImagePtr in(ReadImageFile(Path("depth.exr"))), out(ReadImageFile(Path("y.exr")));
	EXPECT_TRUE(SameImage(*in, *out));

	QzRun text = Run({"run", "focalc", "-i", "Input=" + Path("depth.exr"), "-s", "ApertureHeight=0"});
	ASSERT_EQ(text.Status, 0) << text.Err;
	EXPECT_NE(text.Out.find("FrameAspect = inf\n"), std::string::npos) << text.Out;

	QzRun json = Run({"run", "focalc", "-i", "Input=" + Path("depth.exr"), "-s", "ApertureHeight=0", "-s",
	                  "ApertureWidth=0", "--json"});
	EXPECT_EQ(nlohmann::json::parse(json.Out)["readouts"]["FrameAspect"], "nan");
}

TEST_F(Qz, RunZDeviderWritesTheDividedImage)
{
	QzRun run = Run({"run", "ZDevider", "-i", "Input=" + Path("depth.exr"), "-s", "Zmax=4", "-o", Path("z.exr")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	ImagePtr out(ReadImageFile(Path("z.exr")));
	EXPECT_EQ(PixelAt(*out, 2, 1).R, 1.0f);
	EXPECT_EQ(PixelAt(*out, 2, 1).G, 1.25f);
	EXPECT_EQ(PixelAt(*out, 2, 1).B, 2.0f);
}

TEST_F(Qz, UsageErrorsExitWithTwo)
{
	const std::string input = "Input=" + Path("depth.exr");
	struct Case
	{
		std::vector<std::string> Args;
		std::string Message;
	};
	for (const Case& c : std::vector<Case>{
		     {{"run", "NoSuchTool", "-i", input}, "unknown tool \"NoSuchTool\""},
		     {{"run", "ZDevider", "-i", input, "-s", "Zmx=2"}, "did you mean \"Zmax\""},
		     {{"run", "ZDevider", "-i", input, "-s", "Zmax=two"}, "\"Zmax\" takes a number"},
		     {{"run", "ZDevider", "-i", input, "-s", "Zmax"}, "-s expects ID=VALUE"},
		     {{"run", "ZDevider", "-i", "Depth=" + Path("depth.exr")}, "has no input \"Depth\""},
		     {{"run", "ZDevider", "-i", input, "-o", Path("depth.exr")}, "is also an input"},
		     {{"run", "ZDevider", "--threads", "x"}, "qz: "},
		     {{"run", "ZDevider", "-i", input, "--threads", "-1"}, "\"-1\" is no thread count"},
		     {{"frobnicate"}, "qz: "},
		     {{"run", "ZDevider", "-i", input, "--frames", "1-2", "--chunk", ""}, "--chunk: must not be empty"},
		     {{"run", "ZDevider", "-i", input, "-o", ""}, "--output: must not be empty"},
		     {{"run", "ZDevider", "-i", "Input="}, "\"Input=\" names no file"},
		     {{"run", "ZDevider", "-i", input, "-s", "Zmax=1e400"}, "\"Zmax\": 1e400 does not fit a double"},
		     {{"run", "ZDevider", "-i", input, "-s", "Zmax=-1e-400"}, "\"Zmax\": -1e-400 does not fit a double"},
	     })
	{
		QzRun run = Run(c.Args);
		EXPECT_EQ(run.Status, 2) << c.Args[1] << ": " << run.Err;
		EXPECT_EQ(run.Err.rfind("qz: ", 0), 0u) << run.Err;
		EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
		EXPECT_LT(run.Err.size(), 200u) << run.Err;
	}
	EXPECT_EQ(Files(), std::vector<std::string>{"depth.exr"});

	// Numbers that fit stay numbers: an explicit inf, a subnormal.
	for (const char* zmax : {"Zmax=inf", "Zmax=1e-310"})
		EXPECT_EQ(Run({"run", "ZDevider", "-i", input, "-s", zmax}).Status, 0) << zmax;
}

TEST_F(Qz, HardLimitsRefuseCountsBeyondThemBeforeRendering)
{
	struct Case
	{
		std::string Tool;
		std::vector<std::string> Images;
		std::string Input, Limit, Beyond;
	};
	for (const Case& c : std::vector<Case>{
		     {"Convolution", {"Image", "Kernel"}, "Samples", "50000", "50000.5"},
		     {"DirtyDOF", {"Image", "Zdepth"}, "cSamples", "10000", "inf"},
		     {"SSAO", {"Normals", "Position"}, "Quality", "320", "nan"},
	     })
	{
		std::vector<std::string> args{"run", c.Tool, "-o", Path("out.exr")};
		for (const std::string& id : c.Images)
			args.insert(args.end(), {"-i", id + "=" + Path("depth.exr")});
		std::vector<std::string> atLimit = args, beyond = args;
		atLimit.insert(atLimit.end(), {"-s", c.Input + "=" + c.Limit});
		beyond.insert(beyond.end(), {"-s", c.Input + "=" + c.Beyond});

		QzRun refused = Run(beyond);
		EXPECT_EQ(refused.Status, 2) << c.Tool;
		EXPECT_NE(refused.Err.find(c.Tool + ": input \"" + c.Input + "\" must be finite and at most " + c.Limit),
		          std::string::npos)
			<< refused.Err;
		EXPECT_FALSE(fs::exists(Path("out.exr"))) << c.Tool;
		EXPECT_EQ(Run(atLimit).Status, 0) << c.Tool;
		fs::remove(Path("out.exr"));

		const nlohmann::json info = nlohmann::json::parse(Run({"info", c.Tool, "--json"}).Out);
		const auto input = std::find_if(info["inputs"].begin(), info["inputs"].end(),
		                                [&](const nlohmann::json& i) { return i["id"] == c.Input; });
		ASSERT_NE(input, info["inputs"].end());
		EXPECT_EQ((*input)["hardLimit"], std::stoi(c.Limit)) << c.Tool;
	}
	EXPECT_NE(Run({"info", "SSAO"}).Out.find("Default=1.0  hard limit 320  animates\n"), std::string::npos);
	EXPECT_NE(Run({"info", "Convolution"}).Out.find("\n  work: the exact filter's kernel pixels × frame pixels, hard limit 1e+12\n"),
	          std::string::npos);
}

TEST(Info, ShowsAnImageAsRequiredExactlyWhenARenderRefusesToRunWithoutIt)
{
	ImagePtr image = MakeImage(3, 2, Pixel(1.0f, 2.0f, 3.0f));
	for (const Registry* registry : Plugins().Tools())
	{
		const nlohmann::ordered_json info = DescribeTool(Plugins(), registry);
		for (const nlohmann::ordered_json& described : info["inputs"])
		{
			if (described["attributes"].value("DataType", "") != "Image")
				continue;
			ASSERT_TRUE(described.contains("required")) << info["name"] << " " << described["id"];
			// Every other image connected, this one not.
			ToolSession session(registry);
			for (const auto& input : session.Tool().Inputs())
				if (input->IsImage() && input->ID().GetRawString() != described["id"])
					session.Connect(input->ID().GetRawString(), image.get());
			bool refused = false;
			try
			{
				session.Render();
			}
			catch (const HostError& e)
			{
				refused = std::string(e.what()).find("required input") != std::string::npos;
			}
			EXPECT_EQ(described["required"].get<bool>(), refused) << info["name"] << " " << described["id"];
		}
	}
}

TEST_F(Qz, InfoShowsFoCalcsMainImageAsRequired)
{
	EXPECT_NE(Run({"info", "FoCalc"}).Out.find("\"Input\"  \"Input\"  DataType=Image  MainIndex=1  required\n"),
	          std::string::npos);
	const nlohmann::json info = nlohmann::json::parse(Run({"info", "FoCalc", "--json"}).Out);
	EXPECT_EQ(info["inputs"].back()["required"], true);
}

TEST_F(Qz, FailedRendersExitWithOneAndLeaveNoFile)
{
	std::ofstream(Path("corrupt.exr")) << "garbage";
	std::ofstream(Path("empty.pgm")) << "P5 0 4 255\n";
	std::ofstream(Path("a-file")) << "not a folder";
	fs::copy_file(Path("depth.exr"), Path("truncated.exr"));
	fs::resize_file(Path("truncated.exr"), fs::file_size(Path("depth.exr")) / 2);
	struct Case
	{
		std::vector<std::string> Args;
		std::string Message;
	};
	for (const Case& c : std::vector<Case>{
		     {{"run", "ZDevider", "-i", "Input=" + Path("missing.exr"), "-o", Path("out.exr")}, "missing.exr"},
		     {{"run", "ZDevider", "-i", "Input=" + Path("corrupt.exr"), "-o", Path("out.exr")}, "corrupt.exr"},
		     {{"run", "ZDevider", "-i", "Input=" + Path("truncated.exr"), "-o", Path("out.exr")}, "truncated.exr"},
		     {{"run", "ZDevider", "-i", "Input=" + Dir.string(), "-o", Path("out.exr")}, "is a directory"},
		     {{"run", "ZDevider", "-o", Path("out.exr")}, "required input \"Input\" is not connected"},
		     {{"run", "ZDevider", "-i", "Input=" + Path("depth.exr"), "-o", Path("nowhere/out.exr")}, "nowhere"},
		     {{"run", "ZDevider", "-i", "Input=" + Path("depth.exr"), "-o", Path("a-file/out.exr")}, "a-file"},
		     {{"run", "ZDevider", "-i", "Input=" + Path("empty.pgm"), "-o", Path("out.exr")}, "empty.pgm"},
	     })
	{
		QzRun run = Run(c.Args);
		EXPECT_EQ(run.Status, 1) << c.Message << ": " << run.Err;
		EXPECT_EQ(run.Err.rfind("qz: ", 0), 0u) << run.Err;
		EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
	}
	EXPECT_EQ(Files(), (std::vector<std::string>{"a-file", "corrupt.exr", "depth.exr", "empty.pgm", "truncated.exr"}));
}

TEST_F(Qz, DemoWritesEveryFileItListsAndTheExampleFlowsRunOnIt)
{
	QzRun run = Run({"demo", "--out", Path("demo-out")});
	ASSERT_EQ(run.Status, 0) << run.Err;
	EXPECT_NE(run.Out.find("DoFN = 7.52435"), std::string::npos) << run.Out;

	std::istringstream lines(run.Out);
	int listed = 0;
	for (std::string line; std::getline(lines, line);)
		if (line.rfind("  wrote ", 0) == 0 && line.find('{') == std::string::npos)
		{
			++listed;
			EXPECT_TRUE(fs::exists(line.substr(8))) << line;
		}
	EXPECT_GE(listed, 10);
	const nlohmann::json tools = nlohmann::json::parse(Run({"list", "--json"}).Out);
	for (const nlohmann::json& tool : tools)
		EXPECT_NE(run.Out.find(tool["name"].get<std::string>() + " "), std::string::npos)
			<< "the demo runs every tool: " << tool["name"];
	EXPECT_TRUE(fs::exists(Path("demo-out/contact_sheet.png")));
	for (const char* name : {"depth.0001.exr", "depth.0005.exr", "beauty.0003.exr"})
		EXPECT_TRUE(fs::exists(Path("demo-out/seq/") + name)) << name;
	ImagePtr divided(ReadImageFile(Path("demo-out/zdevider.exr")));
	for (int y = 0; y < divided->Height; y += 17)
		for (int x = 0; x < divided->Width; x += 13)
		{
			const float v = PixelAt(*divided, x, y).R;
			EXPECT_TRUE(v > 0.0f && v <= 1.0f) << x << "," << y << ": " << v;
		}

	// The README's flow examples, as written, on the demo's outputs.
	fs::create_directories(Path("examples"));
	for (const char* flow : {"depth_defocus.json", "uv_roundtrip.json"})
		fs::copy_file(fs::path(QZ_SOURCE_DIR) / "examples" / flow, Path("examples/") + flow);
	QzRun defocus = Run({"flow", Path("examples/depth_defocus.json"), "--frames", "1-5"});
	EXPECT_EQ(defocus.Status, 0) << defocus.Err;
	EXPECT_TRUE(fs::exists(Path("demo-out/seq/defocus.0005.exr")));
	QzRun uv = Run({"flow", Path("examples/uv_roundtrip.json")});
	EXPECT_EQ(uv.Status, 0) << uv.Err;
	EXPECT_TRUE(fs::exists(Path("demo-out/uv_reprojected.exr")));

	// The shot's own flow, which the demo offers to open in the studio.
	EXPECT_NE(run.Out.find(" studio " + Path("demo-out/shot.json")), std::string::npos) << run.Out;
	QzRun shot = Run({"flow", Path("demo-out/shot.json"), "--frames", "2-3"});
	EXPECT_EQ(shot.Status, 0) << shot.Err;
	EXPECT_TRUE(fs::exists(Path("demo-out/seq/dirtydof.0003.exr")));
}
