// Demo stage of the relighting tools: a facing-ratio mask of the normal pass,
// a point-light mask and a spotlight from the position pass, and an
// ambient-occlusion pass from both.
#include "DemoStages.h"
#include "qz/core/ToolSession.h"

// A copy of `image` with `change` applied to every pixel.
template <class Change>
static ImageHandle Changed(Image& image, Change change)
{
	ImageHandle copy(image.CopyOfImage());
	PixPtr src(&image), dst(copy.get());
	FltPixel pixel;
	for (int y = 0; y < image.Height; ++y)
	{
		src.GotoXY(0, y);
		dst.GotoXY(0, y);
		for (int x = 0; x < image.Width; ++x)
		{
			pixel >>= src;
			change(pixel);
			dst >>= pixel;
		}
	}
	return copy;
}

// The normal pass encoded into 0..1 (n × 0.5 + 0.5), as the occlusion tool
// reads normals.
static ImageHandle EncodedNormals(Image& normals)
{
	return Changed(normals, [](FltPixel& p) {
		p.R = p.R * 0.5f + 0.5f;
		p.G = p.G * 0.5f + 0.5f;
		p.B = p.B * 0.5f + 0.5f;
	});
}

// A mask with alpha 1, for its PNG preview: the tools write their mask into
// alpha too, which would make the preview see-through where it is dark.
static ImageHandle Opaque(Image& mask)
{
	return Changed(mask, [](FltPixel& p) { p.A = 1.0f; });
}

// Saves `mask` as name.exr and an opaque name.png.
static void SaveMask(const DemoContext& demo, Image& mask, const std::string& name)
{
	demo.Save(mask, name + ".exr");
	demo.Save(*Opaque(mask), name + ".png");
}

void DemoRelight(const DemoContext& demo)
{
	Image* normals = demo.Scene.Normals.get();
	Image* position = demo.Scene.Position.get();

	demo.Out << "Falloff (normal pass: white where surfaces turn edge-on to the view axis):\n";
	RenderResult falloff = demo.Render("Falloff", {{"Normals", normals}});
	SaveMask(demo, *falloff.Output, "falloff");

	// A point light low over the ground behind the middle sphere, lighting
	// fully within 0.5 m and fading out at 5 m.
	demo.Out << "IntuitiveRelighter (position pass, light at (1.5, -1.2, 12.5), size 0.5 m, reach 5 m):\n";
	RenderResult relight = demo.Render("IntuitiveRelighter", {{"NormalsOrPosition", position}},
	                                   {{"Red", 1.5}, {"Green", -1.2}, {"Blue", 12.5}, {"LightSize", 0.5},
	                                    {"LightIntensity", 5.0}});
	SaveMask(demo, *relight.Output, "relight");

	// A spotlight up and to the left of the camera, aimed at the middle
	// sphere, with the normal term from the normal pass.
	demo.Out << "SimpleSpotlight (light at (-3, 3, 3) aimed at (0.5, -0.8, 9.1), cone 8):\n";
	RenderResult spot = demo.Render("SimpleSpotlight", {{"Position", position}, {"Normals", normals}},
	                                {{"Red", -3.0}, {"Green", 3.0}, {"Blue", 3.0}, {"Red2", 0.5}, {"Green2", -0.8},
	                                 {"Blue2", 9.1}, {"LightConeSize", 8.0}, {"LightIntensity", 1.0}});
	SaveMask(demo, *spot.Output, "spotlight");

	// The scene is in metres, a few to 40 m away: a wide radius (300 px at
	// 1 m) and distances weighed at a tenth, so the halos where the spheres
	// stand before the ground and backdrop show.
	demo.Out << "SSAO (normal and position passes, radius 300, scale 0.1, intensity 2, quality 2):\n";
	ImageHandle encoded = EncodedNormals(*normals);
	RenderResult occlusion = demo.Render("SSAO", {{"Normals", encoded.get()}, {"Position", position}},
	                                     {{"SampleRad", 300.0}, {"Scale", 0.1}, {"Intensity", 2.0}, {"Quality", 2.0}});
	SaveMask(demo, *occlusion.Output, "ssao");
}
