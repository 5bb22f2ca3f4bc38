// Demo stage of the depth-of-field blur: the depth pass remapped around the
// zone of focus, the blur-size map and the blurred beauty, all seen through
// one camera.
#include "DemoStages.h"
#include "qz/core/ToolSession.h"

void DemoDepthBlur(const DemoContext& demo)
{
	Image* depth = demo.Scene.Depth.get();
	Image* beauty = demo.Scene.Beauty.get();
	// The scene's own 50 mm lens and film back, focused on the far sphere
	// (22 m) and opened wide enough that the near sphere (6 m) blurs past the
	// blur's 15-pixel reach and bleeds over what lies behind it.
	const std::map<std::string, double> camera = {{"PlaneOfFocus", 22.0}, {"Fstop", 0.35}};

	demo.Out << "ZRemapper (focus 22 m, f/0.35):\n";
	RenderResult remapped = demo.Render("ZRemapper", {{"Input", depth}}, camera);
	for (const auto& [id, value] : remapped.Readouts)
		demo.Out << "  " << id << " = " << FormatNumber(value) << "\n";
	demo.Save(*remapped.Output, "zremapper.exr");

	std::map<std::string, double> blurOff = camera;
	blurOff["DoBlur"] = 0.0;
	demo.Out << "DirtyDOF blur size (Do Blur off):\n";
	RenderResult sizes = demo.Render("DirtyDOF", {{"Image", beauty}, {"Zdepth", depth}}, blurOff);
	demo.Save(*sizes.Output, "dirtydof_blursize.exr");

	demo.Out << "DirtyDOF:\n";
	RenderResult blurred = demo.Render("DirtyDOF", {{"Image", beauty}, {"Zdepth", depth}}, camera);
	demo.Save(*blurred.Output, "dirtydof.exr");
	demo.Save(*blurred.Output, "dirtydof.png");
}
