#pragma once
// The parts of qz that use OpenImageIO, built as a module of their own.
#include <string>
#include <utility>
#include <vector>

#include "FileFormats.h"

Picture ReadWithImageLibrary(const ImageSource& source);
void WriteWithImageLibrary(const Image& pixels, const FileContext* context, int fd, const std::string& target,
                           const WriteSettings& settings);
Image* MakeContactSheet(const std::vector<std::pair<std::string, const Image*>>& tiles, int tileWidth,
                        const WarningSink& warn);
