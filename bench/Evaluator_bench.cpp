// The flow evaluator's own cost: a chain of 20 per-pixel tools on a 1920 x
// 1080 float frame through the evaluator, against the same 20 renders made
// one after another straight through tool sessions, each holding only the
// frames it still reads. The first must stay within 1.05 times the second.
#include <optional>

#include <nlohmann/json.hpp>

#include "BenchHarness.h"
#include "qz/graph/Evaluator.h"

namespace
{
constexpr int ChainLength = 20;

Frame PlateFrame()
{
	Frame frame(new Image(1920, 1080));
	PixPtr cursor(frame.get());
	for (int y = 0; y < frame->Height; ++y)
	{
		cursor.GotoXY(0, y);
		for (int x = 0; x < frame->Width; ++x)
		{
			FltPixel p;
			p.R = 1.0f + x * 0.01f;
			p.G = 2.0f + y * 0.01f;
			p.B = 3.0f;
			p.A = 1.0f;
			cursor >>= p;
		}
	}
	return frame;
}

// The chain's tools in turn: dividers and falloffs, each reading the one before.
const char* ToolOf(int link)
{
	return link % 2 == 0 ? "ZDevider" : "Falloff";
}

void BM_ChainThroughEvaluator(benchmark::State& state)
{
	const Frame plate = PlateFrame();
	nlohmann::json nodes = nlohmann::json::object();
	for (int i = 0; i < ChainLength; ++i)
	{
		const std::string input = ToolOf(i) == std::string("ZDevider") ? "Input" : "Normals";
		nodes["n" + std::to_string(100 + i)] = {
			{"tool", ToolOf(i)},
			{"inputs", {{input, i == 0 ? nlohmann::json{{"file", "plate.exr"}}
			                           : nlohmann::json{{"node", "n" + std::to_string(99 + i)}}}}}};
	}
	const Flow flow = ParseFlow(BenchPlugins(), {{"nodes", nodes}}, "");
	EvaluatorSettings settings;
	settings.Threads = static_cast<int>(state.range(0));
	plate->Use();
	const SharedImage shared = ShareImage(plate.get());
	settings.StandIns["plate.exr"] = {{shared, nullptr}, HashOfPixels(*shared)};
	settings.Keep = [](const ContentHash&) { return false; };  // every iteration renders every node
	OutputCache cache(0);
	Evaluator evaluator(flow, cache, settings);
	const std::vector<size_t> last{flow.Nodes.size() - 1};
	for (auto _ : state)
		benchmark::DoNotOptimize(evaluator.Evaluate(last, 0).Outputs.back());
}

void BM_ChainOfSessions(benchmark::State& state)
{
	const Frame plate = PlateFrame();
	std::vector<std::unique_ptr<ToolSession>> sessions;
	for (int i = 0; i < ChainLength; ++i)
		sessions.push_back(std::make_unique<ToolSession>(BenchPlugins().FindTool(ToolOf(i))));
	const int threads = static_cast<int>(state.range(0));
	for (auto _ : state)
	{
		std::optional<RenderResult> previous;
		Image* input = plate.get();
		for (int i = 0; i < ChainLength; ++i)
		{
			sessions[i]->Connect(ToolOf(i) == std::string("ZDevider") ? "Input" : "Normals", input);
			RenderResult next = sessions[i]->Render(0.0, threads);
			sessions[i]->DisconnectAll();
			previous.emplace(std::move(next));
			input = previous->Output;
		}
		benchmark::DoNotOptimize(previous->Output);
	}
}
}

BENCHMARK(BM_ChainThroughEvaluator)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChainOfSessions)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
