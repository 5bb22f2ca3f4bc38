#pragma once
// The readers and writers behind ImageFiles.h. OpenEXR files are read and
// written with the OpenEXR library directly: straight into the picture's
// layout, with the header kept whole. Every other format goes through
// OpenImageIO, in a module loaded on first use, because the library brings
// some two hundred shared libraries that take a quarter of a second to load.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qz/core/Error.h"
#include "qz/io/ImageFiles.h"

// Float offsets of red, green, blue and alpha in a picture's pixel (B, G, R, A).
constexpr int SlotOf[4] = {2, 1, 0, 3};

HostError ReadError(const std::string& path, const std::string& why);

/// The index of the part `source` names (by name first, then by index; the
/// first part when it names none) among parts of these `names`. Throws
/// `ReadError` listing the parts when there is no such part.
int ChoosePart(const ImageSource& source, const std::vector<std::string>& names);

/// Sets `context.Taken` and `LayerPrefix` from `context.Channels` as `source`
/// asks. Throws `ReadError` listing the file's layers and channels when the
/// file has no such choice, or nothing to read without one.
void ChooseChannels(const ImageSource& source, FileContext& context);

/// Throws `ReadError` when the data window is empty or claims more pixels
/// than `MaxFilePixels` or than the file's bytes could hold decoded.
void CheckSize(const std::string& path, const Window& data, size_t bytesPerPixel, const std::string& compression);

/// Fills the slots of R, G, B and A that no channel was taken for (alpha 1,
/// colour 0), and copies a gray channel from red into green and blue.
void CompletePicture(const FileContext& context, Image& image);

/// One channel of a written file: where its values come from and its type.
struct WrittenChannel
{
	std::string Name;
	StoredType Type = StoredType::Float;
	int Slot = -1;     // float offset in the picture's pixel, or
	int Carried = -1;  // index in the context's `Carried`
};

/// What a written file holds: the picture back in the channels it was taken
/// from, in `type`, with the carried channels where `anyChannels` (a format of
/// named channels), and alpha when the file had it or the picture's alpha
/// is not 1 everywhere (and `alpha` allows it).
std::vector<WrittenChannel> ChannelsToWrite(const Image& pixels, const FileContext* context, StoredType type,
                                            bool anyChannels, bool alpha);

/// The written type of the picture's channels: -d, else the type of the
/// channel the picture was taken from, else the image's own format.
StoredType WrittenType(const Image& pixels, const FileContext* context, const WriteSettings& settings);

/// The colour space a written file's header records ("oiio:ColorSpace"):
/// the one written (`settings.ColorSpace`), else the picture's, or "".
std::string RecordedColourSpace(const FileContext* context, const WriteSettings& settings);

/// Writes all of `size` bytes at `offset` of descriptor `fd`, retrying
/// interrupted and partial writes. Returns 0, or the errno of the failure
/// (ENOSPC when nothing more could be written).
int WriteAt(int fd, const void* data, size_t size, uint64_t offset);

// OpenEXR files.
bool IsExrFile(const std::string& path);
bool IsExrPath(const std::string& path);  // by extension, for writing
Picture ReadExr(const ImageSource& source);
/// The frame rate the EXR file's first header records ("framesPerSecond",
/// or "FramesPerSecond" as OpenImageIO writes it), if any.
std::optional<double> ExrFramesPerSecond(const std::string& path);
/// True when the EXR file's headers and chunk offset tables read and name
/// every chunk of every part; reads no pixels.
bool IsCompleteExr(const std::string& path);
/// Writes to `temporary`, an open descriptor's file; throws `HostError` text
/// (without the file name) on failure.
void WriteExr(const Image& pixels, const FileContext* context, int fd, const WriteSettings& settings);

/// What qz does with OpenImageIO, in the module that links it.
struct ImageLibrary
{
	Picture (*Read)(const ImageSource& source);
	/// Writes the file format of `target`'s extension into descriptor `fd`.
	void (*Write)(const Image& pixels, const FileContext* context, int fd, const std::string& target,
	              const WriteSettings& settings);
	/// A new 8-bit image (one use for the caller) of previews and labels.
	Image* (*ContactSheet)(const std::vector<std::pair<std::string, const Image*>>& tiles, int tileWidth,
	                       const WarningSink& warn);
	void (*SetThreads)(int threads);
	/// True when the file opens and its header reads.
	bool (*Readable)(const std::string& path);
	/// Stops the library's worker threads, before the process ends.
	void (*StopThreads)();
};

/// The module's functions, loaded on first use. Throws `HostError` when the
/// module cannot be loaded.
const ImageLibrary& TheImageLibrary();

/// Name of the module's entry point: `const ImageLibrary* QzImageLibrary()`.
constexpr const char* ImageLibraryEntry = "QzImageLibrary";
