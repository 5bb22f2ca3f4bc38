#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <nlohmann/json.hpp>

#include "ToolHarness.h"
#include "qz/graph/Evaluator.h"
#include "qz/graph/FlowRender.h"
#include "qz/io/ImageFiles.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace
{
class FlowEvaluation : public ::testing::Test
{
protected:
	void SetUp() override
	{
		Dir = fs::temp_directory_path() / ("qz-evaluator-" + std::to_string(::getpid()));
		fs::create_directories(Dir);
		for (const char* name : {"a.exr", "d.0001.exr", "d.0002.exr", "d.0003.exr"})
			Write(name, 4, 3, 1.0f);
	}
	void TearDown() override { fs::remove_all(Dir); }

	std::string Path(const std::string& name) const { return (Dir / name).string(); }

	void Write(const std::string& name, int width, int height, float value) const
	{
		ImagePtr image = MakeImage(width, height, [&](int x, int y) { return Pixel(value + x, value + y, 2, 1); });
		WriteImageFile(*image, Path(name));
	}

	Flow Parse(const json& document) const { return ParseFlow(Plugins(), document, Dir.string()); }

	fs::path Dir;
};

json Node(const char* tool, json inputs, json values = json::object())
{
	return {{"tool", tool}, {"values", values}, {"inputs", inputs}};
}

json FromFile(const std::string& file, const char* input = "Input")
{
	return {{input, {{"file", file}}}};
}

json FromNode(const std::string& node, const char* input = "Input")
{
	return {{input, {{"node", node}}}};
}

// A file read, divided, divided again; `change` edits the document first.
json Chain(const std::function<void(json&)>& change = {})
{
	json flow{{"nodes",
	           {{"remap", Node("ZDevider", FromFile("a.exr"), {{"Zmax", 2}})},
	            {"div", Node("ZDevider", FromNode("remap"), {{"Zmax", 3}})}}}};
	if (change)
		change(flow);
	return flow;
}

ContentHash HashOfDiv(const Flow& flow, int frame = 1)
{
	OutputCache cache(1 << 20);
	Evaluator evaluator(flow, cache);
	return evaluator.NodeHash(*evaluator.NodeIndex("div"), frame);
}
}

TEST_F(FlowEvaluation, AHashChangesWithEachThingItCoversAndWithNothingElse)
{
	const ContentHash base = HashOfDiv(Parse(Chain()));
	const struct
	{
		const char* What;
		std::function<void(json&)> Change;
		bool Changes;
	} cases[] = {
		{"the node's value", [](json& f) { f["nodes"]["div"]["values"]["Zmax"] = 4; }, true},
		{"a value upstream", [](json& f) { f["nodes"]["remap"]["values"]["Zmax"] = 5; }, true},
		{"the tool upstream", [](json& f) { f["nodes"]["remap"]["tool"] = "Wireless"; f["nodes"]["remap"].erase("values"); }, true},
		{"the file read", [](json& f) { f["nodes"]["remap"]["inputs"] = FromFile("d.0001.exr"); }, true},
		{"what the file gives", [](json& f) { f["nodes"]["remap"]["inputs"] = FromFile("a.exr:channel=G"); }, true},
		{"the names of the nodes", [](json& f) {
			 f["nodes"]["first"] = f["nodes"]["remap"];
			 f["nodes"].erase("remap");
			 f["nodes"]["div"]["inputs"] = FromNode("first");
		 }, false},
		{"a node it does not read", [](json& f) { f["nodes"]["other"] = Node("ZDevider", FromFile("a.exr")); }, false},
		{"a save", [](json& f) { f["save"] = {{{"node", "div"}, {"file", "out.exr"}}}; }, false},
	};
	for (const auto& c : cases)
		EXPECT_EQ(HashOfDiv(Parse(Chain(c.Change))) != base, c.Changes) << c.What;

	EXPECT_EQ(HashOfDiv(Parse(Chain()), 7), base) << "a still flow is the same at every frame";
	Write("a.exr", 5, 3, 1.0f);
	EXPECT_NE(HashOfDiv(Parse(Chain())), base) << "the file changed on disk";

	const Flow sequence = Parse(Chain([](json& f) { f["nodes"]["remap"]["inputs"] = FromFile("d.####.exr"); }));
	EXPECT_NE(HashOfDiv(sequence, 1), HashOfDiv(sequence, 2)) << "a sequence's frames are different files";
}

TEST_F(FlowEvaluation, AStillInputIsReadAndRenderedOncePerRange)
{
	// A kernel image read by a sequence, and a node of the still file alone.
	Write("kernel.exr", 3, 3, 0.5f);
	const Flow flow = Parse({{"nodes",
	                          {{"blur", Node("Convolution", {{"Image", {{"file", "d.####.exr"}}}, {"Kernel", {{"file", "kernel.exr"}}}})},
	                           {"still", Node("ZDevider", FromFile("kernel.exr"), {{"Zmax", 2}})}}},
	                         {"save", {{{"node", "blur"}, {"file", "out.####.exr"}}, {{"node", "still"}, {"file", "still.####.exr"}}}}});
	// The studio's kind of use: every output kept; the still node renders at the first frame only.
	OutputCache cache(1 << 20);
	Evaluator evaluator(flow, cache);
	std::vector<std::string> rendered;
	for (int frame : {1, 2, 3})
		for (const std::string& node : evaluator.Evaluate({0, 1}, frame).Rendered)
			rendered.push_back(node + " " + std::to_string(frame));
	EXPECT_EQ(rendered, (std::vector<std::string>{"blur 1", "still 1", "blur 2", "blur 3"}));

	// After the first frame the kernel file holds other bytes of the same
	// size under the same time of change: read again, it would fail.
	const auto spoil = [&](size_t done, size_t) {
		if (done != 1)
			return;
		struct stat before;
		ASSERT_EQ(::stat(Path("kernel.exr").c_str(), &before), 0);
		const int fd = ::open(Path("kernel.exr").c_str(), O_WRONLY);
		const std::string garbage(before.st_size, 'x');
		ASSERT_EQ(::pwrite(fd, garbage.data(), garbage.size(), 0), ssize_t(garbage.size()));
		const timespec times[2] = {before.st_atim, before.st_mtim};
		::futimens(fd, times);
		::close(fd);
	};
	FrameOptions options;
	options.Range = "1-3";
	options.Threads = 1;
	const FlowRenderResult result = RenderFlow(flow, options, {spoil, nullptr});
	ASSERT_FALSE(result.Failure) << result.Failure->what();
	EXPECT_EQ(result.Frames.size(), 3u);
	ImagePtr first(ReadImageFile(Path("still.0001.exr"))), third(ReadImageFile(Path("still.0003.exr")));
	EXPECT_TRUE(SameImage(*first, *third));
}

TEST_F(FlowEvaluation, AnimatedValuesAreTakenAtTheFrameSoEqualValuesShareAnOutput)
{
	// "held" keys Zmax 2 until frame 3, "moving" goes 2, 3, 4; both read a
	// still file. Frames whose values are equal render once, and at frame 1
	// the two nodes are one: the same tool dividing the same file by 2.
	const json held = {{"keys", {{{"frame", 1}, {"value", 2}, {"interpolation", "constant"}}, {{"frame", 3}, {"value", 5}}}}};
	const json moving = {{"expression", "frame + 1"}};
	const Flow flow = Parse({{"nodes",
	                          {{"held", Node("ZDevider", FromFile("a.exr"), {{"Zmax", held}})},
	                           {"moving", Node("ZDevider", FromFile("a.exr"), {{"Zmax", moving}})}}}});
	OutputCache cache(1 << 20);
	Evaluator evaluator(flow, cache);
	std::vector<std::string> rendered;
	std::vector<float> red;
	for (int frame : {1, 2, 3, 2})
	{
		const Evaluation evaluation = evaluator.Evaluate({0, 1}, frame);
		for (const std::string& node : evaluation.Rendered)
			rendered.push_back(node + " " + std::to_string(frame));
		for (size_t n : {0, 1})
			red.push_back(PixelAt(*evaluation.Outputs[n]->Out.Pixels, 1, 0).R);
	}
	EXPECT_EQ(rendered, (std::vector<std::string>{"held 1", "moving 2", "held 3", "moving 3"}));
	// a.exr's red at x = 1 is 2, divided by Zmax in double.
	const float third = static_cast<float>(2.0 / 3.0), fifth = static_cast<float>(2.0 / 5.0);
	EXPECT_EQ(red, (std::vector<float>{1.0f, 1.0f, 1.0f, third, fifth, 0.5f, 1.0f, third}));
}

TEST_F(FlowEvaluation, ReturnsWhatIsAskedForAndLetsTheRestGo)
{
	const Flow flow = Parse(Chain());
	OutputCache cache(0);  // keeps nothing: what the evaluation holds is all there is
	Evaluator evaluator(flow, cache);
	const size_t remap = *evaluator.NodeIndex("remap"), div = *evaluator.NodeIndex("div");
	const Evaluation last = evaluator.Evaluate({div}, 1);
	EXPECT_EQ(last.Outputs[remap], nullptr);
	ASSERT_NE(last.Outputs[div], nullptr);
	EXPECT_EQ(last.Rendered, (std::vector<std::string>{"remap", "div"}));
	const Evaluation both = evaluator.Evaluate({div}, 1, std::vector<size_t>{remap, div});
	EXPECT_NE(both.Outputs[remap], nullptr);
	EXPECT_TRUE(SameImage(*both.Outputs[div]->Out.Pixels, *last.Outputs[div]->Out.Pixels));
}
