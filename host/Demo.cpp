#include "Demo.h"

#include <filesystem>

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
	for (const auto& [id, image] : images)
		session.Connect(id, image);
	for (const auto& [id, value] : numbers)
		session.SetNumber(id, value);
	for (const auto& [id, text] : choices)
		session.SetValue(id, text);
	RenderResult result = session.Render();
	if (!result.Output)
		throw HostError(ExitRenderFailed, tool + " set no output");
	return result;
}

void DemoContext::Save(const Image& image, const std::string& name) const
{
	const std::string path = (std::filesystem::path(OutDir) / name).string();
	WriteImageFile(image, path);
	Out << "  wrote " << path << "\n";
}

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

	DemoDepthTools(demo);
}
