// Reading and validating a flow: the time per node must stay the same from
// 10,000 to 100,000 nodes.
#include <sstream>
#include <string>

#include "BenchHarness.h"
#include "qz/graph/Flow.h"

// A chain of `count` dividers, each reading the one before; the first reads a
// file (which validation does not open) and the last is saved.
static std::string ChainFlow(int count)
{
	std::string text = "{\"nodes\": {";
	for (int i = 0; i < count; ++i)
	{
		const std::string input = i == 0 ? "{\"file\": \"d.exr\"}" : "{\"node\": \"n" + std::to_string(i - 1) + "\"}";
		text += (i == 0 ? "" : ", ") + std::string("\"n") + std::to_string(i) +
		        "\": {\"tool\": \"ZDevider\", \"values\": {\"Zmax\": 2}, \"inputs\": {\"Input\": " + input + "}}";
	}
	return text + "}, \"save\": [{\"node\": \"n" + std::to_string(count - 1) + "\", \"file\": \"o.exr\"}]}";
}

static void BM_ReadAndValidateFlow(benchmark::State& state)
{
	const int count = static_cast<int>(state.range(0));
	const std::string text = ChainFlow(count);
	for (auto _ : state)
	{
		std::istringstream in(text);
		const Flow flow = ParseFlow(BenchPlugins(), ReadFlowDocument(in, "chain"), "");
		benchmark::DoNotOptimize(flow.Nodes.data());
	}
	state.counters["per_node"] =
		benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReadAndValidateFlow)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
