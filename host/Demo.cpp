#include "Demo.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "HostError.h"
#include "ImageFiles.h"
#include "ToolSession.h"

namespace
{
struct Sphere
{
	double X, Y, Z, Radius;
};

constexpr double FocalLengthMm = 50.0;
constexpr double FilmWidthMm = 0.98 * 25.4;
constexpr double BackdropDepth = 40.0;
constexpr double EyeHeight = 1.6;

// Distance along a ray (direction with z = 1, so also the depth) to the
// nearest surface, or the backdrop's depth.
double TraceDepth(double dx, double dy)
{
	static const Sphere spheres[] = {{-0.8, -1.1, 6.0, 0.5}, {0.5, -0.8, 9.1, 0.8}, {3.0, 0.4, 22.0, 2.0}};
	double nearest = BackdropDepth;
	if (dy < 0)
		nearest = std::min(nearest, -EyeHeight / dy);
	const double dd = dx * dx + dy * dy + 1.0;
	for (const Sphere& s : spheres)
	{
		const double b = dx * s.X + dy * s.Y + s.Z;
		const double c = s.X * s.X + s.Y * s.Y + s.Z * s.Z - s.Radius * s.Radius;
		const double disc = b * b - dd * c;
		if (disc < 0)
			continue;
		const double t = (b - std::sqrt(disc)) / dd;
		if (t > 0)
			nearest = std::min(nearest, t);
	}
	return nearest;
}

std::string Join(const std::string& dir, const std::string& name)
{
	return (std::filesystem::path(dir) / name).string();
}

struct ImageRef
{
	explicit ImageRef(Image* image) : Img(image) {}
	~ImageRef()
	{
		if (Img)
			Img->Recycle();
	}
	Image* Img;
};
}

Image* RenderDemoDepthPass(int width, int height)
{
	Image* image = new Image(width, height);
	const double filmHeightMm = FilmWidthMm * height / width;
	PixPtr cursor(image);
	FltPixel pixel;
	pixel.A = 1.0f;
	for (int y = 0; y < height; ++y)
	{
		cursor.GotoXY(0, y);
		for (int x = 0; x < width; ++x)
		{
			const double dx = ((x + 0.5) / width - 0.5) * FilmWidthMm / FocalLengthMm;
			const double dy = ((y + 0.5) / height - 0.5) * filmHeightMm / FocalLengthMm;
			pixel.R = pixel.G = pixel.B = static_cast<float>(TraceDepth(dx, dy));
			cursor >>= pixel;
		}
	}
	return image;
}

static const Registry* RequireTool(const PluginHost& host, const char* name)
{
	const Registry* tool = host.FindTool(name);
	if (!tool)
		throw HostError(ExitRenderFailed, "demo needs the tool " + std::string(name) + ", which no plug-in registered");
	return tool;
}

static Image* RequireOutput(RenderResult& result, const std::string& tool)
{
	if (!result.Output)
		throw HostError(ExitRenderFailed, tool + " set no output");
	return result.Output;
}

void RunDemo(const PluginHost& host, const std::string& outDir, std::ostream& out)
{
	std::error_code ec;
	std::filesystem::create_directories(outDir, ec);
	if (ec)
		throw HostError(ExitRenderFailed, "cannot create " + outDir + ": " + ec.message());

	ImageRef depth(RenderDemoDepthPass(480, 270));
	WriteImageFile(*depth.Img, Join(outDir, "depth.exr"));
	out << "depth pass: " << Join(outDir, "depth.exr") << "\n";

	ToolSession calculator(RequireTool(host, "FoCalc"));
	calculator.Connect("Input", depth.Img);
	RenderResult camera = calculator.Render();
	WriteImageFile(*RequireOutput(camera, "FoCalc"), Join(outDir, "focalc.exr"));
	out << "FoCalc read-outs (default camera):\n";
	for (const auto& [id, value] : camera.Readouts)
		out << "  " << id << " = " << FormatNumber(value) << "\n";

	float farthest = 0.0f;
	PixPtr cursor(depth.Img);
	FltPixel pixel;
	for (int y = 0; y < depth.Img->Height; ++y)
	{
		cursor.GotoXY(0, y);
		for (int x = 0; x < depth.Img->Width; ++x)
		{
			pixel >>= cursor;
			farthest = std::max(farthest, pixel.R);
		}
	}
	ToolSession divider(RequireTool(host, "ZDevider"));
	divider.Connect("Input", depth.Img);
	divider.SetNumber("Zmax", farthest);
	RenderResult divided = divider.Render();
	Image* normalised = RequireOutput(divided, "ZDevider");
	WriteImageFile(*normalised, Join(outDir, "zdevider.exr"));
	WriteImageFile(*normalised, Join(outDir, "zdevider.png"));
	out << "ZDevider (Zmax = " << FormatNumber(farthest) << "): " << Join(outDir, "zdevider.exr") << ", "
	    << Join(outDir, "zdevider.png") << "\n";
}
