#pragma once
#include <ostream>
#include <string>

#include "Image.h"
#include "PluginHost.h"

/// A synthetic depth pass: a ground plane, three spheres and a backdrop seen through a
/// 50 mm lens on a 0.98" film back, depth in metres along the view axis in R,
/// G and B, alpha 1. Needs no files.
Image* RenderDemoDepthPass(int width, int height);

/// `qz demo`: renders the depth pass through the depth tools into `outDir`
/// (EXR files plus a PNG preview) and prints the calculator's read-outs.
void RunDemo(const PluginHost& host, const std::string& outDir, std::ostream& out);
