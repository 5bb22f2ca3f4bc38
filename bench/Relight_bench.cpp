// The relighting tools, each beside BM_MemcpyFrame in the table. Arg: worker
// threads, 0 for all cores.
#include <cmath>

#include "BenchHarness.h"

// Unit normals turning smoothly over the frame, as a normal pass holds them.
static Frame NormalFrame()
{
	return MakeFrame([](int x, int y) {
		const float a = x * 0.003f, b = y * 0.002f;
		FltPixel p;
		p.R = std::sin(a) * std::cos(b);
		p.G = std::sin(b);
		p.B = -std::cos(a) * std::cos(b);
		p.A = 1.0f;
		return p;
	});
}

// The same normals encoded into 0..1 (n × 0.5 + 0.5), as the occlusion reads them.
static Frame EncodedNormalFrame()
{
	return MakeFrame([](int x, int y) {
		const float a = x * 0.003f, b = y * 0.002f;
		FltPixel p;
		p.R = 0.5f + 0.5f * std::sin(a) * std::cos(b);
		p.G = 0.5f + 0.5f * std::sin(b);
		p.B = 0.5f - 0.5f * std::cos(a) * std::cos(b);
		p.A = 1.0f;
		return p;
	});
}

// Camera-space positions of a wavy surface 5 to 15 metres away.
static Frame PositionFrame()
{
	return MakeFrame([](int x, int y) {
		FltPixel p;
		p.B = 10.0f + 5.0f * std::sin(x * 0.004f) * std::cos(y * 0.005f);
		p.R = (x - BenchSize / 2) * p.B / 2000.0f;
		p.G = (y - BenchSize / 2) * p.B / 2000.0f;
		p.A = 1.0f;
		return p;
	});
}

static void BM_Falloff(benchmark::State& state)
{
	Frame normals = NormalFrame();
	RenderTool(state, "Falloff", {{"Normals", normals.get()}}, {}, {}, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_Falloff)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_IntuitiveRelighter(benchmark::State& state)
{
	Frame position = PositionFrame();
	RenderTool(state, "IntuitiveRelighter", {{"NormalsOrPosition", position.get()}},
	           {{"Blue", 10.0}, {"LightIntensity", 4.0}, {"LightSize", 1.0}});
}
BENCHMARK(BM_IntuitiveRelighter)->Unit(benchmark::kMillisecond);

static void BM_SimpleSpotlight(benchmark::State& state)
{
	Frame position = PositionFrame(), normals = NormalFrame();
	RenderTool(state, "SimpleSpotlight", {{"Position", position.get()}, {"Normals", normals.get()}},
	           {{"Green", 5.0}, {"Blue", 2.0}, {"Blue2", 10.0}}, {}, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_SimpleSpotlight)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_SSAO(benchmark::State& state)
{
	Frame normals = EncodedNormalFrame(), position = PositionFrame();
	RenderTool(state, "SSAO", {{"Normals", normals.get()}, {"Position", position.get()}}, {}, {},
	           static_cast<int>(state.range(0)));
}
BENCHMARK(BM_SSAO)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
