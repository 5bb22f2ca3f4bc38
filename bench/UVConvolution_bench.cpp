// The UV tools against a frame copy, and the exact convolution against
// OpenImageIO's convolve with the same kernels on the same frame.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <cmath>

#include "BenchHarness.h"

namespace
{
Frame ColourFrame()
{
	return MakeFrame([](int x, int y) {
		FltPixel p;
		p.R = 0.5f + 0.5f * std::sin(x * 0.021f);
		p.G = 0.5f + 0.5f * std::cos(y * 0.017f);
		p.B = 0.5f + 0.5f * std::sin((x + y) * 0.011f);
		p.A = 1.0f;
		return p;
	});
}

// u = x / size, v = y / size, alpha 1: every pixel reads a texture pixel.
Frame UVFrame()
{
	return MakeFrame([](int x, int y) {
		FltPixel p;
		p.R = (x + 0.5f) / BenchSize;
		p.G = (y + 0.5f) / BenchSize;
		p.A = 1.0f;
		return p;
	});
}

// Gaussian weight of kernel pixel (x, y) of a size x size kernel.
float KernelWeight(int size, int x, int y)
{
	const float c = (size - 1) * 0.5f, sigma = size * 0.25f;
	return std::exp(-((x - c) * (x - c) + (y - c) * (y - c)) / (2.0f * sigma * sigma));
}

// The kernel as the convolution filter takes it: the weight in all four channels.
Frame ToolKernel(int size)
{
	Frame kernel(new Image(size, size));
	PixPtr cursor(kernel.get());
	for (int y = 0; y < size; ++y)
	{
		cursor.GotoXY(0, y);
		for (int x = 0; x < size; ++x)
		{
			FltPixel p;
			p.R = p.G = p.B = p.A = KernelWeight(size, x, y);
			cursor >>= p;
		}
	}
	return kernel;
}

// The same kernel as OpenImageIO takes it: one channel, centred on the pixel.
OIIO::ImageBuf OiioKernel(int size)
{
	OIIO::ImageSpec imageSpec(size, size, 1, OIIO::TypeDesc::FLOAT);
	imageSpec.x = imageSpec.full_x = -(size / 2);
	imageSpec.y = imageSpec.full_y = -(size / 2);
	OIIO::ImageBuf kernel(imageSpec);
	for (int y = 0; y < size; ++y)
		for (int x = 0; x < size; ++x)
		{
			const float w = KernelWeight(size, x, y);
			kernel.setpixel(x + imageSpec.x, y + imageSpec.y, &w, 1);
		}
	return kernel;
}

// Kernel size, then threads (0: all cores).
void KernelsAndThreads(benchmark::internal::Benchmark* bench)
{
	for (int size : {3, 15})
		for (int threads : {1, 0})
			bench->Args({size, threads});
	bench->Unit(benchmark::kMillisecond)->UseRealTime();
}
}

static void BM_OiioConvolve(benchmark::State& state)
{
	Frame frame = ColourFrame();
	const OIIO::ImageSpec layout(BenchSize, BenchSize, 4, OIIO::TypeDesc::FLOAT);
	OIIO::ImageBuf source(layout, frame->Data());
	OIIO::ImageBuf kernel = OiioKernel(static_cast<int>(state.range(0)));
	OIIO::ImageBuf result(layout);
	for (auto _ : state)
		OIIO::ImageBufAlgo::convolve(result, source, kernel, true, {}, static_cast<int>(state.range(1)));
	state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame->PixelCount() * frame->PixelBytes()));
}
BENCHMARK(BM_OiioConvolve)->Apply(KernelsAndThreads);

// Compared with BM_OiioConvolve of the same arguments in the summary table.
static void BM_ConvolutionExact(benchmark::State& state)
{
	Frame frame = ColourFrame();
	Frame kernel = ToolKernel(static_cast<int>(state.range(0)));
	RenderTool(state, "Convolution", {{"Image", frame.get()}, {"Kernel", kernel.get()}}, {{"Sampling", 0.0}}, {},
	           static_cast<int>(state.range(1)));
}
BENCHMARK(BM_ConvolutionExact)->Apply(KernelsAndThreads);

// Fast mode with the default 250 samples of a 15 x 15 kernel; 1 thread, all.
static void BM_ConvolutionFast(benchmark::State& state)
{
	Frame frame = ColourFrame();
	Frame kernel = ToolKernel(15);
	RenderTool(state, "Convolution", {{"Image", frame.get()}, {"Kernel", kernel.get()}}, {}, {},
	           static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ConvolutionFast)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

static void BM_UVpositioner(benchmark::State& state)
{
	Frame texture = ColourFrame();
	Frame uv = UVFrame();
	RenderTool(state, "UVpositioner", {{"UV", uv.get()}, {"Image", texture.get()}}, {}, {{"SampleMode", "Wrap"}});
}
BENCHMARK(BM_UVpositioner)->Unit(benchmark::kMillisecond);

static void BM_UVunwrap(benchmark::State& state)
{
	Frame image = ColourFrame();
	Frame uv = UVFrame();
	RenderTool(state, "UVunwrap", {{"Image", image.get()}, {"UV", uv.get()}});
}
BENCHMARK(BM_UVunwrap)->Unit(benchmark::kMillisecond);
