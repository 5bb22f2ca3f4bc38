#pragma once
// What the EXR reader and writer share between their files.
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfPixelType.h>

#include <vector>

#include "FileFormats.h"

/// The file type for a written type: EXR holds no 8- or 16-bit integers, and
/// takes those as half, as other tools do.
Imf::PixelType PixelTypeOf(StoredType type);

/// Writes tiled part `index` of `out`: level 0 from `top`, then the coarser
/// levels of its level mode (mip-map or rip-map) made anew from `pixels` and
/// the carried channels, in the file's order of levels.
void WriteTiledPart(Imf::MultiPartOutputFile& out, int index, const Imf::FrameBuffer& top, const Image& pixels,
                    const FileContext* context, const std::vector<WrittenChannel>& channels);
