#pragma once
#include <string>
#include <utility>
#include <vector>

#include "Image.h"

/// Writes a labelled grid of previews: each image scaled to `tileWidth`
/// pixels wide, its label under it. A preview shows colour channels as they
/// are when they lie within 0..1, and otherwise stretches the image's finite
/// range to 0..1 (depth, positions, normals, motion); non-finite values show
/// black. Throws `HostError` when the file cannot be written.
void WriteContactSheet(const std::vector<std::pair<std::string, const Image*>>& tiles, const std::string& path,
                       int tileWidth = 240);
