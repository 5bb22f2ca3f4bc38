// Demo stage of the filter and flow utilities: a normalised position pass, a
// clipped motion-vector pass and both eyes of the stereo pair through the switch.
#include <algorithm>
#include <cmath>
#include <tuple>

#include "DemoStages.h"
#include "qz/core/ToolSession.h"
#include "qz/io/ImageFill.h"

// Longest vector (red, green, blue) of a pass, for reporting what the clipper did.
static double LongestVector(Image& pass)
{
	double longest = 0.0;
	VisitPixels(pass, [&](const FltPixel& pixel) {
		longest = std::max(longest, std::sqrt(double(pixel.R) * pixel.R + double(pixel.G) * pixel.G +
		                                      double(pixel.B) * pixel.B));
	});
	return longest;
}

// Thresholds wide enough that every value of a pass sets the range.
static std::map<std::string, double> WholeRange()
{
	const double wide = 1.0e6;
	return {{"RTreshMin", -wide}, {"RTreshMax", wide}, {"GTreshMin", -wide},
	        {"GTreshMax", wide},  {"BTreshMin", -wide}, {"BTreshMax", wide}};
}

void DemoUtility(const DemoContext& demo)
{
	demo.Out << "Normalizer (position pass, each channel on its own range):\n";
	RenderResult position = demo.Render("Normalizer", {{"Input", demo.Scene.Position.get()}}, WholeRange());
	demo.Save(*position.Output, "normalizer_position.exr");
	demo.Save(*position.Output, "normalizer_position.png");

	const double maxLength = 4.0;
	demo.Out << "ClipMotionVectors (Clip at " << FormatNumber(maxLength) << " px): longest vector "
	         << FormatNumber(LongestVector(*demo.Scene.Motion)) << " px";
	RenderResult clipped = demo.Render("ClipMotionVectors", {{"Image", demo.Scene.Motion.get()}},
	                                   {{"MaxLenght", maxLength}}, {{"ClipMode", "Clip"}});
	demo.Out << " -> " << FormatNumber(LongestVector(*clipped.Output)) << " px\n";
	demo.Save(*clipped.Output, "clipmotion.exr");
	// Motion in pixels does not fit a PNG's 0..1: preview it stretched.
	RenderResult preview = demo.Render("Normalizer", {{"Input", clipped.Output}}, WholeRange());
	demo.Save(*preview.Output, "clipmotion.png");

	demo.Out << "StereoSwitch (left eye: beauty, right eye: beauty_right):\n";
	const Image* left = demo.Scene.Beauty.get();
	const Image* right = demo.Scene.Right.get();
	for (auto [choice, eye, name] : {std::tuple{"Left", left, "stereo_left"}, {"Right", right, "stereo_right"}})
	{
		RenderResult chosen = demo.Render(
			"StereoSwitch", {{"LeftImage", demo.Scene.Beauty.get()}, {"RightImage", demo.Scene.Right.get()}}, {},
			{{"Input", choice}});
		demo.Out << "  " << choice << ": " << (chosen.Output == eye ? "hands on that eye's image" : "another image")
		         << "\n";
		demo.Save(*chosen.Output, std::string(name) + ".exr");
		demo.Save(*chosen.Output, std::string(name) + ".png");
	}

	demo.Out << "Wireless (the beauty, picked on the page):\n";
	RenderResult linked = demo.Render("Wireless", {{"Input", demo.Scene.Beauty.get()}});
	demo.Save(*linked.Output, "wireless.exr");
}
