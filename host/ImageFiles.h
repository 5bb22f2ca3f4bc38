#pragma once
#include <string>

#include "Image.h"

/// Reads an image file: rows are turned bottom-up, R, G, B and A go to the
/// pixel's colour channels (a single-channel file, such as a depth-only EXR,
/// fills all three; a file without alpha gets alpha 1) and every other channel
/// becomes an auxiliary channel. The stored format follows the file's.
/// Values are taken as stored: alpha is never multiplied in or divided out.
/// Throws `HostError` naming the file when it cannot be read.
Image* ReadImageFile(const std::string& path);

/// Writes `image` in the format the path's extension names, in the image's
/// pixel format where the file format allows it. Writes to a temporary file
/// beside `path` and renames it into place, so a failed write never leaves a
/// partial file. Throws `HostError` naming the file on failure.
void WriteImageFile(const Image& image, const std::string& path);
