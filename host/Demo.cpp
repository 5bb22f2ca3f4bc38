#include "Demo.h"

#include <filesystem>

#include "Frames.h"
#include "HostError.h"
#include "ImageFiles.h"

RenderResult DemoContext::Render(const std::string& tool, const std::map<std::string, Image*>& images,
                                 const std::map<std::string, double>& numbers,
                                 const std::map<std::string, std::string>& choices) const
{
	const Registry* registry = Host.FindTool(tool);
	if (!registry)
		throw HostError(ExitRenderFailed, "demo needs the tool " + tool + ", which no plug-in registered");
	ToolSession session(registry);
	session.Configure(images, numbers, choices);
	RenderResult result = session.Render();
	if (!result.Output)
		throw HostError(ExitRenderFailed, tool + " set no output");
	return result;
}

void DemoContext::Save(Image& image, const std::string& name) const
{
	const std::string path = (std::filesystem::path(OutDir) / name).string();
	WriteImageFile(image, path);
	Out << "  wrote " << path << "\n";
	const std::filesystem::path file(name);
	if (file.extension() == ".exr")
	{
		image.Use();
		Sheet.emplace_back(file.stem().string(), ImageHandle(&image));
	}
}

void DemoContext::WriteSheet() const
{
	std::vector<std::pair<std::string, const Image*>> tiles;
	for (const auto& [label, image] : Sheet)
		tiles.emplace_back(label, image.get());
	const std::string path = (std::filesystem::path(OutDir) / "contact_sheet.png").string();
	WriteContactSheet(tiles, path);
	Out << "contact sheet: " << path << "\n";
}

constexpr int DemoShotFrames = 5;

void RunDemo(const PluginHost& host, const std::string& outDir, std::ostream& out)
{
	std::error_code ec;
	std::filesystem::create_directories(outDir, ec);
	if (ec)
		throw HostError(ExitRenderFailed, "cannot create " + outDir + ": " + ec.message());

	const DemoScene scene = RenderDemoScene(480, 270);
	const DemoContext demo(host, scene, outDir, out);
	out << "scene passes:\n";
	for (auto [pass, name] : {std::pair{scene.Beauty.get(), "beauty.exr"}, {scene.Depth.get(), "depth.exr"},
	                          {scene.Normals.get(), "normals.exr"}, {scene.Position.get(), "position.exr"},
	                          {scene.UV.get(), "uv.exr"}, {scene.Motion.get(), "motion.exr"},
	                          {scene.Right.get(), "beauty_right.exr"}, {scene.Beauty.get(), "beauty.png"}})
		demo.Save(*pass, name);

	// A short shot for trying sequences, flows and farm chunks on.
	const std::filesystem::path shot = std::filesystem::path(outDir) / "seq";
	std::filesystem::create_directories(shot, ec);
	for (int frame = 1; frame <= DemoShotFrames; ++frame)
	{
		const DemoScene moved = RenderDemoScene(480, 270, frame);
		WriteImageFile(*moved.Depth, FramePath((shot / "depth.####.exr").string(), frame));
		WriteImageFile(*moved.Beauty, FramePath((shot / "beauty.####.exr").string(), frame));
	}
	out << "  wrote " << (shot / "{depth,beauty}.####.exr").string() << ", frames 1-" << DemoShotFrames << "\n";

	DemoDepthTools(demo);
	DemoUtility(demo);
	DemoDepthBlur(demo);
	DemoUV(demo);
	DemoRelight(demo);

	demo.WriteSheet();
}
