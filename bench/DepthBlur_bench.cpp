// The depth remapper against a plain copy of the frame, and the depth-of-field
// blur on one thread and on all of them.
#include <cmath>

#include "BenchHarness.h"

static void BM_ZRemapper(benchmark::State& state)
{
	Frame depth = DepthFrame();
	RenderTool(state, "ZRemapper", {{"Input", depth.get()}}, {}, {}, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ZRemapper)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arg: worker threads, 0 for all cores. The depth pass runs 1 to 40 m
// around the default focus (9.1 m), so every pass occurs; the nearest
// pixels (under 1.25 m) reach their neighbours and bleed.
static void BM_DirtyDof(benchmark::State& state)
{
	Frame beauty = MakeFrame([](int x, int y) {
		FltPixel p;
		p.R = 0.5f + 0.5f * std::sin(x * 0.05f);
		p.G = 0.5f + 0.5f * std::cos(y * 0.07f);
		p.B = ((x / 64 + y / 64) % 2) ? 0.8f : 0.2f;
		p.A = 1.0f;
		return p;
	});
	Frame depth = DepthFrame();
	RenderTool(state, "DirtyDOF", {{"Image", beauty.get()}, {"Zdepth", depth.get()}}, {}, {},
	           static_cast<int>(state.range(0)));
}
BENCHMARK(BM_DirtyDof)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
