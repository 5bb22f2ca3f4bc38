// Flows: validation before anything renders, and a flow's result equal to the
// same tools run one after another.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "QzFixture.h"
#include "qz/core/Error.h"
#include "qz/graph/Flow.h"

using nlohmann::json;

namespace
{
std::string FlowFault(const json& document)
{
	try
	{
		ParseFlow(Plugins(), document, "");
	}
	catch (const HostError& e)
	{
		EXPECT_EQ(e.Kind, ErrorKind::Usage);
		return e.what();
	}
	return "(valid)";
}

json Node(const std::string& tool, json inputs = json::object(), json values = json::object())
{
	return {{"tool", tool}, {"inputs", inputs}, {"values", values}};
}

const json FileInput = {{"Input", {{"file", "depth.exr"}}}};
}

TEST(Flow, EveryKindOfFaultNamesTheNodeAndInput)
{
	struct Case
	{
		json Document;
		std::string Message;
	};
	const std::vector<Case> cases = {
		{json::array(), "needs \"nodes\""},
		{{{"nodes", {{"a", Node("NoSuchTool")}}}}, "node \"a\": unknown tool \"NoSuchTool\""},
		{{{"nodes", {{"a", Node("ZDevider", FileInput, {{"Zmx", 2}})}}}}, "node \"a\" input \"Zmx\""},
		{{{"nodes", {{"a", Node("ZDevider", {{"Depth", {{"file", "x.exr"}}}})}}}}, "node \"a\" input \"Depth\""},
		{{{"nodes", {{"a", Node("ZDevider", FileInput, {{"Zmax", "big"}})}}}}, "input \"Zmax\": takes a number"},
		{{{"nodes", {{"a", Node("ZDevider", FileInput, {{"Input", 1}})}}}}, "input \"Input\": is an image"},
		{{{"nodes", {{"a", Node("ZDevider", {{"Zmax", {{"file", "x.exr"}}}})}}}}, "input \"Zmax\""},
		{{{"nodes", {{"a", Node("ZDevider", {{"Input", "x.exr"}})}}}}, "must be {\"file\": PATH} or {\"node\": NAME}"},
		{{{"nodes", {{"a", Node("ZDevider")}}}}, "node \"a\" input \"Input\": is required but not connected"},
		{{{"nodes", {{"a", Node("ZDevider", {{"Input", {{"node", "ghost"}}}})}}}}, "reads node \"ghost\", which does not exist"},
		{{{"nodes",
		   {{"a", Node("ZDevider", {{"Input", {{"node", "b"}}}})}, {"b", Node("ZDevider", {{"Input", {{"node", "a"}}}})}}}},
		 "cycle: a -> b -> a"},
		{{{"nodes", {{"a", Node("ZDevider", FileInput)}}}, {"save", {{{"node", "b"}, {"file", "o.exr"}}}}},
		 "save: node \"b\" does not exist"},
		{{{"nodes", {{"a", {{"tool", "ZDevider"}, {"input", FileInput}}}}}}, "unknown key \"input\""},
	};
	for (const Case& c : cases)
	{
		const std::string fault = FlowFault(c.Document);
		EXPECT_NE(fault.find(c.Message), std::string::npos) << c.Document.dump() << "\n  gave: " << fault;
	}
}

TEST(Flow, NodesComeAfterWhatTheyRead)
{
	const json document = {{"nodes",
	                        {{"c", Node("ZDevider", {{"Input", {{"node", "b"}}}})},
	                         {"a", Node("FoCalc", FileInput)},
	                         {"b", Node("ZDevider", {{"Input", {{"node", "a"}}}})}}}};
	const Flow flow = ParseFlow(Plugins(), document, "/shots");
	ASSERT_EQ(flow.Nodes.size(), 3u);
	EXPECT_EQ(flow.Nodes[0].Name, "a");
	EXPECT_EQ(flow.Nodes[1].Name, "b");
	EXPECT_EQ(flow.Nodes[2].Name, "c");
	EXPECT_EQ(flow.Nodes[0].Links[0].File, "/shots/depth.exr") << "relative to the flow file's folder";
}

TEST(Flow, AChainOfAHundredThousandNodesIsOrdered)
{
	// Each node reads the next by name, so that ordering them follows the whole
	// chain from the first.
	const int count = 100000;
	const auto name = [](int i) {
		const std::string digits = std::to_string(i);
		return "n" + std::string(6 - digits.size(), '0') + digits;
	};
	json nodes = json::object();
	for (int i = 0; i < count; ++i)
		nodes[name(i)] = Node("ZDevider", i == count - 1 ? FileInput : json{{"Input", {{"node", name(i + 1)}}}});
	const Flow flow = ParseFlow(Plugins(), {{"nodes", nodes}}, "");
	ASSERT_EQ(flow.Nodes.size(), size_t(count));
	EXPECT_EQ(flow.Nodes.front().Name, name(count - 1));
	EXPECT_EQ(flow.Nodes.back().Name, name(0));
}

TEST_F(Qz, FlowEqualsTheToolsRunOneAfterAnother)
{
	std::ofstream(Path("flow.json")) << json{
		{"nodes",
		 {{"calc", Node("FoCalc", FileInput, {{"PlaneOfFocus", 5.0}})},
		  {"half", Node("ZDevider", {{"Input", {{"node", "calc"}}}}, {{"Zmax", 2.0}})},
		  {"quarter", Node("ZDevider", {{"Input", {{"node", "half"}}}}, {{"Zmax", 2.0}})}}},
		{"save", {{{"node", "quarter"}, {"file", "flow.exr"}}, {{"node", "half"}, {"file", "half.exr"}}}}};
	QzRun flow = Run({"flow", Path("flow.json"), "--json"});
	ASSERT_EQ(flow.Status, 0) << flow.Err;
	const json report = json::parse(flow.Out);
	// K = 43043.089 mm (the default hyperfocal); near = 5K / (K + (5000 - 50)) = 4.4843008 m
	EXPECT_NEAR(report["frames"][0]["readouts"]["calc"]["DoFN"].get<double>(), 4.4843008, 1e-6);

	ASSERT_EQ(Run({"run", "FoCalc", "-i", "Input=" + Path("depth.exr"), "-o", Path("a.exr")}).Status, 0);
	ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("a.exr"), "-s", "Zmax=2", "-o", Path("b.exr")}).Status, 0);
	ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("b.exr"), "-s", "Zmax=2", "-o", Path("c.exr")}).Status, 0);
	ImagePtr byFlow(ReadImageFile(Path("flow.exr"))), byHand(ReadImageFile(Path("c.exr")));
	EXPECT_TRUE(SameImage(*byFlow, *byHand));
	ImagePtr half(ReadImageFile(Path("half.exr"))), b(ReadImageFile(Path("b.exr")));
	EXPECT_TRUE(SameImage(*half, *b));
}

TEST_F(Qz, InvalidFlowRendersNothing)
{
	std::ofstream(Path("flow.json")) << json{
		{"nodes", {{"ok", Node("ZDevider", FileInput)}, {"bad", Node("ZDevider", {{"Input", {{"node", "nope"}}}})}}},
		{"save", {{{"node", "ok"}, {"file", "ok.exr"}}}}};
	QzRun run = Run({"flow", Path("flow.json")});
	EXPECT_EQ(run.Status, 2);
	EXPECT_NE(run.Err.find("qz: flow node \"bad\" input \"Input\""), std::string::npos) << run.Err;
	EXPECT_FALSE(fs::exists(Path("ok.exr")));

	std::ofstream(Path("broken.json")) << "{\"nodes\": ";
	EXPECT_EQ(Run({"flow", Path("broken.json")}).Status, 2);
	EXPECT_EQ(Run({"flow", Path("absent.json")}).Status, 2);
}

TEST_F(Qz, BadFlowValuesAreUsageErrorsQuotingShortExcerpts)
{
	const std::string deep = std::string(100000, '[') + std::string(100000, ']');
	const std::string node = "{\"nodes\": {\"a\": {\"tool\": ";
	struct Case
	{
		std::string Text, Message;
	};
	for (const Case& c : std::vector<Case>{
		     {node + "\"ZDevider\", \"values\": {\"Zmax\": " + deep + "}}}}", "node \"a\" input \"Zmax\": values nest"},
		     {node + "\"ZDevider\", \"inputs\": {\"Input\": " + deep + "}}}}",
		      "node \"a\" input \"Input\": values nest"},
		     {node + "\"ZDevider\", \"inputs\": {\"Input\": {\"file\": " + deep + "}}}}}", "node \"a\" input \"Input\""},
		     {"{\"nodes\": {}, \"save\": [" + deep + "]}", "flow save: values nest deeper than"},
		     {node + "\"ZDevider\", \"values\": {\"Zmax\": \"" + std::string(100000, 'x') + "\"}}}}",
		      "node \"a\" input \"Zmax\": takes a number, not \"xxx"},
		     {node + "\"" + std::string(100000, 'x') + "\"}}}", "unknown tool \"xxx"},
		     {node + "\"" + std::string(100000, 'x'), "missing closing quote; last read: '\"xxx"},
		     {node + "\"ZDevider\", \"values\": {\"Zmax\": 1e400}}}}",
		      "node \"a\" input \"Zmax\": a number is too large"},
		     {node + "\"SSAO\", \"values\": {\"Quality\": 321}}}}",
		      "node \"a\" input \"Quality\": SSAO: input \"Quality\" must be finite and at most 320"},
	     })
	{
		std::ofstream(Path("flow.json")) << c.Text;
		QzRun run = Run({"flow", Path("flow.json")});
		EXPECT_EQ(run.Status, 2) << c.Message << ": " << run.Err.substr(0, 300);
		EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err.substr(0, 300);
		EXPECT_LT(run.Err.size(), 300u) << c.Message;
	}
	QzRun folder = Run({"flow", Dir.string()});
	EXPECT_EQ(folder.Status, 2);
	EXPECT_NE(folder.Err.find("it is a directory"), std::string::npos) << folder.Err;
}

TEST_F(Qz, ADisabledNodeHandsOnItsMainInputAndStudioLayoutsAreIgnored)
{
	// half -> (disabled) quarter -> eighth equals half -> eighth; the
	// bypassed Convolution needs no kernel; layouts are no fault.
	const json layout = {{"position", {120, 40}}};
	std::ofstream(Path("flow.json")) << json{
		{"studio", {{"backdrops", json::array({{{"title", "depth"}, {"rect", {0, 0, 300, 200}}}})}}},
		{"nodes",
		 {{"half", Node("ZDevider", FileInput, {{"Zmax", 2.0}})},
		  {"quarter", {{"tool", "ZDevider"}, {"enabled", false}, {"studio", layout},
		               {"inputs", {{"Input", {{"node", "half"}}}}}, {"values", {{"Zmax", 2.0}}}}},
		  {"blur", {{"tool", "Convolution"}, {"enabled", false}, {"inputs", {{"Image", {{"node", "quarter"}}}}}}},
		  {"eighth", Node("ZDevider", {{"Input", {{"node", "blur"}}}}, {{"Zmax", 2.0}})}}},
		{"save", {{{"node", "eighth"}, {"file", "bypassed.exr"}}, {{"node", "quarter"}, {"file", "passed.exr"}}}}};
	QzRun flow = Run({"flow", Path("flow.json")});
	ASSERT_EQ(flow.Status, 0) << flow.Err;
	ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("depth.exr"), "-s", "Zmax=2", "-o", Path("a.exr")}).Status, 0);
	ASSERT_EQ(Run({"run", "ZDevider", "-i", "Input=" + Path("a.exr"), "-s", "Zmax=2", "-o", Path("b.exr")}).Status, 0);
	ImagePtr bypassed(ReadImageFile(Path("bypassed.exr"))), byHand(ReadImageFile(Path("b.exr")));
	EXPECT_TRUE(SameImage(*bypassed, *byHand));
	ImagePtr passed(ReadImageFile(Path("passed.exr"))), half(ReadImageFile(Path("a.exr")));
	EXPECT_TRUE(SameImage(*passed, *half));

	for (const auto& [node, message] : std::vector<std::pair<json, std::string>>{
		     {{{"tool", "ZDevider"}, {"enabled", false}},
		      "flow node \"a\" input \"Input\": is disabled, but its main input, which it hands on, is not connected"},
		     {{{"tool", "ZDevider"}, {"enabled", "no"}, {"inputs", FileInput}}, "\"enabled\" must be true or false"}})
	{
		std::ofstream(Path("bad.json")) << json{{"nodes", {{"a", node}}}};
		QzRun bad = Run({"flow", Path("bad.json")});
		EXPECT_EQ(bad.Status, 2);
		EXPECT_NE(bad.Err.find(message), std::string::npos) << bad.Err;
	}
}
