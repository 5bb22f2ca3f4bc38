// The normalizer, the motion vector clipper, the wireless link and the stereo
// switch. Goals against BM_MemcpyFrame: normalizer (two passes) within 4x,
// clipper within 3x, wireless copy within 1.5x; the switch takes the same
// time at any image size.
#include <cmath>

#include "BenchHarness.h"

// Colours spread over 0..1 with a few values beyond, as a normalizer meets them.
static Frame ColourFrame()
{
	return MakeFrame([](int x, int y) {
		FltPixel p;
		p.R = 0.5f + 0.6f * std::sin(x * 0.01f);
		p.G = 0.5f + 0.4f * std::cos(y * 0.013f);
		p.B = 0.001f * ((x + y) % 1000);
		p.A = 1.0f;
		return p;
	});
}

// Motion vectors up to about 20 pixels long, half of them above the clip length.
static Frame MotionFrame()
{
	return MakeFrame([](int x, int y) {
		FltPixel p;
		p.R = 20.0f * std::sin(x * 0.003f);
		p.G = 20.0f * std::cos(y * 0.004f);
		p.A = 1.0f;
		return p;
	});
}

static void BM_Normalizer(benchmark::State& state)
{
	Frame colour = ColourFrame();
	RenderTool(state, "Normalizer", {{"Input", colour.get()}}, {}, {}, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_Normalizer)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_ClipMotionVectors(benchmark::State& state)
{
	Frame motion = MotionFrame();
	RenderTool(state, "ClipMotionVectors", {{"Image", motion.get()}}, {{"MaxLenght", 14.0}});
}
BENCHMARK(BM_ClipMotionVectors)->Unit(benchmark::kMillisecond);

static void BM_Wireless(benchmark::State& state)
{
	Frame colour = ColourFrame();
	RenderTool(state, "Wireless", {{"Input", colour.get()}});
}
BENCHMARK(BM_Wireless)->Unit(benchmark::kMillisecond);

// The switch hands its input on: the time must not grow with the image,
// here 16 x 16 against the full benchmark frame.
static void BM_StereoSwitch(benchmark::State& state)
{
	const int size = static_cast<int>(state.range(0));
	Frame left(new Image(size, size)), right(new Image(size, size));
	RenderTool(state, "StereoSwitch", {{"LeftImage", left.get()}, {"RightImage", right.get()}}, {},
	           {{"Input", "Right"}});
}
BENCHMARK(BM_StereoSwitch)->Arg(16)->Arg(BenchSize)->Unit(benchmark::kMicrosecond);
