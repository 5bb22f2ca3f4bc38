#include "DemoStages.h"
#include "qz/demo/Demo.h"

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "qz/core/Error.h"
#include "qz/graph/Frames.h"
#include "qz/io/ImageFiles.h"

RenderResult DemoContext::Render(const std::string& tool, const std::map<std::string, Image*>& images,
                                 const std::map<std::string, double>& numbers,
                                 const std::map<std::string, std::string>& choices) const
{
	const Registry* registry = Host.FindTool(tool);
	if (!registry)
		throw HostError(ErrorKind::Render, "demo needs the tool " + tool + ", which no plug-in registered");
	ToolSession session(registry);
	session.Configure(images, numbers, choices);
	RenderResult result = session.Render();
	if (!result.Output)
		throw HostError(ErrorKind::Render, tool + " set no output");
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
	WriteContactSheet(tiles, path, Warn);
	Out << "contact sheet: " << path << "\n";
}

constexpr int DemoShotFrames = 5;

namespace
{
// The shot's own flow, for `qz flow` and the studio: the depth pass remapped
// and divided for a defocus matte, and the beauty blurred by the same camera
// as the demo's depth-blur stage.
void WriteShotFlow(const std::filesystem::path& path)
{
	const nlohmann::ordered_json camera = {{"PlaneOfFocus", 22.0}, {"Fstop", 0.35}};
	const nlohmann::ordered_json flow = {
		{"nodes",
		 {{"remap", {{"tool", "ZRemapper"}, {"values", camera}, {"inputs", {{"Input", {{"file", "seq/depth.####.exr"}}}}}}},
		  {"defocus",
		   {{"tool", "ZDevider"}, {"values", {{"Zmax", 30.0}}}, {"inputs", {{"Input", {{"node", "remap"}}}}}}},
		  {"blur",
		   {{"tool", "DirtyDOF"},
		    {"values", camera},
		    {"inputs",
		     {{"Image", {{"file", "seq/beauty.####.exr"}}}, {"Zdepth", {{"file", "seq/depth.####.exr"}}}}}}}}},
		{"save",
		 {{{"node", "defocus"}, {"file", "seq/defocus.####.exr"}},
		  {{"node", "blur"}, {"file", "seq/dirtydof.####.exr"}}}}};
	std::ofstream file(path);
	file << flow.dump(2) << "\n";
	if (!file.flush())
		throw HostError(ErrorKind::Write, "cannot write " + path.string());
}

// How to call this qz from where the user stands.
std::string ThisProgram()
{
	std::error_code ec;
	const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
	if (ec)
		return "qz";
	const std::filesystem::path relative = std::filesystem::relative(self, ec);
	return !ec && !relative.empty() && *relative.begin() != ".." ? relative.string() : self.string();
}
}

void RunDemo(const PluginHost& host, const std::string& outDir, std::ostream& out, const WarningSink& warn)
{
	std::error_code ec;
	std::filesystem::create_directories(outDir, ec);
	if (ec)
		throw HostError(ErrorKind::Write, "cannot create " + outDir + ": " + ec.message());

	const DemoScene scene = RenderDemoScene(480, 270);
	const DemoContext demo(host, scene, outDir, out, warn);
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
	const std::filesystem::path shotFlow = std::filesystem::path(outDir) / "shot.json";
	WriteShotFlow(shotFlow);
	out << "  wrote " << shotFlow.string() << "\n";

	DemoDepthTools(demo);
	DemoUtility(demo);
	DemoDepthBlur(demo);
	DemoUV(demo);
	DemoRelight(demo);

	demo.WriteSheet();
	out << "open the shot in the studio:\n  " << ThisProgram() << " studio " << shotFlow.string() << "\n";
}
