// Demo stage of the UV tools and the convolution filter: a checker texture
// mapped onto the scene through its UV pass, the beauty unwrapped back into
// texture space, and the beauty convolved with a bokeh-shaped kernel.
#include <algorithm>
#include <cmath>
#include <functional>

#include "DemoStages.h"
#include "qz/io/ImageFill.h"

namespace
{
ImageHandle FilledImage(int width, int height, const std::function<FltPixel(int x, int y)>& fill)
{
	ImageHandle image(new Image(width, height));
	FillImage(*image, fill);
	return image;
}

// A checker of 16-pixel squares in warm and cool tones with a dark line every
// 64 pixels, so that stretching and seams show on the mapped surfaces.
ImageHandle CheckerTexture(int size)
{
	return FilledImage(size, size, [](int x, int y) {
		if (x % 64 == 0 || y % 64 == 0)
			return PixelOf(0.05f, 0.05f, 0.08f);
		const bool odd = (x / 16 + y / 16) % 2 != 0;
		return odd ? PixelOf(0.9f, 0.55f, 0.2f) : PixelOf(0.2f, 0.45f, 0.8f);
	});
}

// A hexagonal aperture, brighter towards its rim as lens bokeh often is;
// alpha 1 inside and 0 outside, so only the shape counts in the weights.
ImageHandle BokehKernel(int size)
{
	const float centre = (size - 1) * 0.5f, radius = size * 0.5f;
	return FilledImage(size, size, [=](int x, int y) {
		const float dx = std::fabs(x - centre), dy = std::fabs(y - centre);
		const float d = std::max(dy, dx * 0.8660254f + dy * 0.5f) / radius;
		if (d > 1.0f)
			return PixelOf(0, 0, 0, 0);
		const float w = 0.6f + 0.4f * d * d;
		return PixelOf(w, w, w, 1.0f);
	});
}
}

void DemoUV(const DemoContext& demo)
{
	Image* beauty = demo.Scene.Beauty.get();
	Image* uv = demo.Scene.UV.get();

	ImageHandle texture = CheckerTexture(256);
	demo.Out << "UVpositioner (a 256 x 256 checker through the UV pass, wrapped):\n";
	demo.Save(*texture, "uv_texture.png");
	RenderResult mapped =
		demo.Render("UVpositioner", {{"Image", texture.get()}, {"UV", uv}}, {}, {{"SampleMode", "Wrap"}});
	demo.Save(*mapped.Output, "uvpositioner.exr");
	demo.Save(*mapped.Output, "uvpositioner.png");

	demo.Out << "UVunwrap (the beauty back into texture space, 2 x 2 blocks):\n";
	RenderResult unwrapped =
		demo.Render("UVunwrap", {{"Image", beauty}, {"UV", uv}}, {{"Interpolate pixel setting", 1.0}});
	demo.Save(*unwrapped.Output, "uvunwrap.exr");
	demo.Save(*unwrapped.Output, "uvunwrap.png");

	ImageHandle kernel = BokehKernel(11);
	demo.Out << "Convolution (the beauty through an 11 x 11 hexagonal bokeh, exact):\n";
	demo.Save(*kernel, "convolution_kernel.png");
	RenderResult blurred =
		demo.Render("Convolution", {{"Image", beauty}, {"Kernel", kernel.get()}}, {{"Sampling", 0.0}});
	demo.Save(*blurred.Output, "convolution.exr");
	demo.Save(*blurred.Output, "convolution.png");
}
