#pragma once
// The demo's synthetic scene, "rendered" procedurally so the demo needs no
// files: a ground plane, three spheres and a backdrop seen through a 50 mm
// lens on a 0.98" film back, with the passes a compositor gets from a 3D
// render. Camera space: x right, y up, z forward (metres).
#include <memory>

#include "Image.h"

struct DemoScene
{
	ImageHandle Beauty;    // shaded colour, alpha 1
	ImageHandle Depth;     // distance along the view axis in R, G and B, alpha 1
	ImageHandle Normals;   // unit camera-space normal in R, G, B, alpha 1
	ImageHandle Position;  // camera-space position in R, G, B, alpha 1
	ImageHandle UV;        // texture coordinates u, v in R, G (0..1), alpha 1 on surfaces
	ImageHandle Motion;    // screen-space motion in pixels per frame in R, G
	ImageHandle Right;     // the beauty seen from a camera 6.5 cm to the right (Beauty is the left eye)
};

/// The scene at `frame`: the spheres move by their velocity each frame.
DemoScene RenderDemoScene(int width, int height, double frame = 0.0);
