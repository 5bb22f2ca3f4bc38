// Demo stage of the depth tools: camera read-outs and a normalised depth pass.
#include <algorithm>

#include "DemoStages.h"
#include "qz/core/ToolSession.h"
#include "qz/io/ImageFill.h"

// The largest depth of the pass, as an artist would pick it for "Zmax".
static float LargestDepth(Image& depth)
{
	float largest = 0.0f;
	VisitPixels(depth, [&](const FltPixel& pixel) { largest = std::max(largest, pixel.R); });
	return largest;
}

void DemoDepthTools(const DemoContext& demo)
{
	Image* depth = demo.Scene.Depth.get();

	demo.Out << "FoCalc (default camera):\n";
	RenderResult camera = demo.Render("FoCalc", {{"Input", depth}});
	for (const auto& [id, value] : camera.Readouts)
		demo.Out << "  " << id << " = " << FormatNumber(value) << "\n";

	const float zmax = LargestDepth(*depth);
	demo.Out << "ZDevider (Zmax = " << FormatNumber(zmax) << "):\n";
	RenderResult divided = demo.Render("ZDevider", {{"Input", depth}}, {{"Zmax", zmax}});
	demo.Save(*divided.Output, "zdevider.exr");
	demo.Save(*divided.Output, "zdevider.png");
}
