#include "BenchHarness.h"

#include <cmath>

#include "qz/io/ImageFill.h"

PluginHost& BenchPlugins()
{
	static PluginHost host({QZ_BIN_DIR});
	return host;
}

Frame MakeFrame(const std::function<FltPixel(int, int)>& fill)
{
	Frame frame(new Image(BenchSize, BenchSize));
	FillImage(*frame, fill);
	return frame;
}

Frame DepthFrame()
{
	return MakeFrame([](int x, int y) {
		FltPixel p;
		p.R = p.G = p.B = 1.0f + 39.0f * (0.5f + 0.5f * std::sin(x * 0.01f) * std::cos(y * 0.013f));
		p.A = 1.0f;
		return p;
	});
}

void RenderTool(benchmark::State& state, const std::string& tool, const std::map<std::string, Image*>& images,
                const std::map<std::string, double>& numbers, const std::map<std::string, std::string>& choices,
                int threads)
{
	const Registry* registry = BenchPlugins().FindTool(tool);
	if (!registry)
	{
		state.SkipWithError(("no tool " + tool).c_str());
		return;
	}
	ToolSession session(registry);
	session.Configure(images, numbers, choices);
	for (auto _ : state)
	{
		RenderResult result = session.Render(0.0, threads);
		benchmark::DoNotOptimize(result.Output);
	}
	const Image* main = images.begin()->second;
	state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(main->PixelCount() * main->PixelBytes()));
}
