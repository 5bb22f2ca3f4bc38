#include "BenchHarness.h"

static void BM_FoCalc(benchmark::State& state)
{
	Frame depth = DepthFrame();
	RenderTool(state, "FoCalc", {{"Input", depth.get()}});
}
BENCHMARK(BM_FoCalc)->Unit(benchmark::kMillisecond);

static void BM_ZDevider(benchmark::State& state)
{
	Frame depth = DepthFrame();
	RenderTool(state, "ZDevider", {{"Input", depth.get()}}, {{"Zmax", 40.0}}, {}, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ZDevider)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
