// OpenImageIO's nearest equivalents of the simple tools, on the same frame,
// as a yardstick: division by a constant, statistics plus a remap, a copy.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include "BenchHarness.h"

namespace
{
OIIO::ImageBuf FloatFrame()
{
	OIIO::ImageBuf frame(OIIO::ImageSpec(BenchSize, BenchSize, 4, OIIO::TypeDesc::FLOAT));
	const float colour[4] = {0.2f, 0.4f, 0.8f, 1.0f};
	OIIO::ImageBufAlgo::fill(frame, colour);
	return frame;
}

void ReportFrameBytes(benchmark::State& state)
{
	state.SetBytesProcessed(state.iterations() * int64_t(BenchSize) * BenchSize * 4 * sizeof(float));
}
}

static void BM_OiioDiv(benchmark::State& state)
{
	const OIIO::ImageBuf frame = FloatFrame();
	const int threads = static_cast<int>(state.range(0));
	for (auto _ : state)
		benchmark::DoNotOptimize(OIIO::ImageBufAlgo::div(frame, 40.0f, {}, threads));
	ReportFrameBytes(state);
}
BENCHMARK(BM_OiioDiv)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_OiioStatsRemap(benchmark::State& state)
{
	const OIIO::ImageBuf frame = FloatFrame();
	const int threads = static_cast<int>(state.range(0));
	for (auto _ : state)
	{
		const auto stats = OIIO::ImageBufAlgo::computePixelStats(frame, {}, threads);
		std::vector<float> scale(4), offset(4);
		for (int c = 0; c < 4; ++c)
		{
			const float range = stats.max[c] - stats.min[c];
			scale[c] = range > 0 ? 1.0f / range : 1.0f;
			offset[c] = -stats.min[c] * scale[c];
		}
		benchmark::DoNotOptimize(OIIO::ImageBufAlgo::mad(frame, scale, offset, {}, threads));
	}
	ReportFrameBytes(state);
}
BENCHMARK(BM_OiioStatsRemap)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_OiioCopy(benchmark::State& state)
{
	const OIIO::ImageBuf frame = FloatFrame();
	const int threads = static_cast<int>(state.range(0));
	for (auto _ : state)
		benchmark::DoNotOptimize(OIIO::ImageBufAlgo::copy(frame, OIIO::TypeUnknown, {}, threads));
	ReportFrameBytes(state);
}
BENCHMARK(BM_OiioCopy)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
