#pragma once
// Image files as a pipeline writes them. A tool sees one picture: float R, G,
// B, A over the file's data window, rows bottom-up. Everything else the file
// held (windows, header attributes, the channels and parts the tool does not
// take, the stored type and compression) travels beside the picture as a
// `FileContext` and is written back with the output.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Image.h"
#include "qz/core/Error.h"

/// What an image input takes from a file: `PATH[:part=P][:layer=L|:channel=C][:colorspace=S]`.
///   part=P      a part of a multi-part EXR, by name or index (default: the first);
///   layer=L     the layer's R/G/B/A, or X/Y/Z (x/y/z) channels (`L.R`, `L.X`...);
///   channel=C   one channel, which fills R, G and B;
///   colorspace=S  converts R, G and B from colour space S (a space, alias or
///                 role of the colour configuration, or "auto": the space the
///                 file's header records, else the configuration's file
///                 rules) to its scene_linear space on reading.
struct ImageSource
{
	std::string Path;  // a file or a frame sequence
	std::string Part;
	std::string Layer;
	std::string Channel;
	std::string ColorSpace;

	/// Parses the text given to `-i` and to a flow's "file". Throws
	/// `HostError` (usage) for an unknown or repeated key, an empty value,
	/// or both a layer and a channel.
	static ImageSource Parse(const std::string& text);
	/// The selection as written after the path (":layer=N"), or "".
	std::string Selection() const;
};

/// A rectangle of pixels in a file's pixel space (y down, as files store it).
struct Window
{
	int X = 0, Y = 0, Width = 0, Height = 0;
	bool operator==(const Window& other) const
	{
		return X == other.X && Y == other.Y && Width == other.Width && Height == other.Height;
	}
};

/// How a file stores a channel's values.
enum class StoredType
{
	UInt8,
	UInt16,
	UInt32,
	Half,
	Float,
};
size_t SizeOf(StoredType type);

struct StoredChannel
{
	std::string Name;
	StoredType Type = StoredType::Float;
	int XSampling = 1, YSampling = 1;
};

/// A channel the tools do not take, as stored: one value per sample, rows
/// top-down over the data window (every `YSampling`-th row, `XSampling`-th column).
struct CarriedChannel
{
	int Channel = 0;  // index in `FileContext::Channels`
	std::vector<unsigned char> Plane;
};

/// What a file held beside the picture a tool works on.
struct FileContext
{
	std::string Path;  // the file read
	bool IsExr = false;
	std::string FormatName;  // "openexr", "png", "tiff", ...
	int PartIndex = 0;
	int PartCount = 1;
	Window Data, Display;
	std::vector<StoredChannel> Channels;  // of the part, in the file's order
	std::string Compression;              // as the file names it ("zip", "piz", ...), or ""
	/// The part's channel that became R, G, B and A, or -1. A gray picture
	/// (one channel filling R, G and B) has the same channel in all three.
	int Taken[4] = {-1, -1, -1, -1};
	bool Gray() const { return Taken[0] >= 0 && Taken[0] == Taken[1] && Taken[1] == Taken[2]; }
	/// Name prefix of the layer taken ("N." for "N.X"), for channels added on writing.
	std::string LayerPrefix;
	std::vector<CarriedChannel> Carried;
	/// The colour space of R, G and B as the header records it ("oiio:ColorSpace"),
	/// or scene_linear once they are converted to it on reading; or "".
	std::string ColorSpace;
	/// The file's own header with every attribute, for a writer of the same
	/// family: an EXR header, or the image library's description of others.
	std::shared_ptr<const void> NativeHeader;
};

/// A picture as the host passes it between tools.
struct Picture
{
	SharedImage Pixels;                         // float B, G, R, A, rows bottom-up
	std::shared_ptr<const FileContext> Context;  // null when not from a file
};

/// The most pixels a file may have, so that a corrupt header cannot make a
/// render allocate more memory than the machine has.
constexpr long long MaxFilePixels = 1LL << 28;

/// Reads what `source` names (a frame of a sequence must already be resolved
/// in `source.Path`). Throws `HostError` (input) naming the file when it is
/// no regular file (a directory, FIFO, socket or device, refused before
/// anything opens it), cannot be read, is incomplete, claims a size it cannot
/// hold, or when the selection does not match; such errors list the file's
/// parts, layers and channels.
Picture ReadPicture(const ImageSource& source);

/// True when `path` is an image file that opens and whose header reads (for
/// EXR, also its chunk offset tables), without reading its pixels: a file cut
/// off within its pixels passes. Enough for outputs, which are renamed into
/// place only once written whole (`WritePicture`): a present output is a
/// finished one, and this check refuses what else may stand under its name.
bool IsReadableImage(const std::string& path);

/// The frame rate a regular file's header records (an EXR's
/// "framesPerSecond"), if it records one; reads the header alone.
std::optional<double> RecordedFramesPerSecond(const std::string& path);

/// How an output is written.
struct WriteSettings
{
	std::optional<StoredType> Type;  // -d; default: the main input's stored type
	std::string Compression;             // --compression NAME[:LEVEL]; default: the main input's
	std::string Software;                // the "Software" attribute
	std::string ColorSpace;              // R, G and B converted from scene_linear to it, and recorded
};

/// The written type named by `-d` ("uint8", "uint16", "half", "float").
/// Throws `HostError` (usage) for other names.
StoredType ParseDataType(const std::string& name);
/// Throws `HostError` (usage) unless `compression` ("NAME" or "NAME:LEVEL")
/// is one that the format of `path` takes.
void CheckCompression(const std::string& compression, const std::string& path);

/// Writes `pixels` to `path`, in the format its extension names, with what
/// `context` holds: its windows and attributes, the channels and parts the
/// tool did not take, under their names, where the format holds them. The
/// picture goes back into the channels it was taken from; alpha is added only
/// when the file had none and the picture's alpha is not 1 everywhere.
/// Writes a temporary file beside the target and renames it into place, so a
/// failed write leaves the previous file untouched; a replaced file keeps its
/// permissions, and a symbolic link is written through to its target. Throws
/// `HostError` (render failed) naming the file on failure.
void WritePicture(const Image& pixels, const FileContext* context, const std::string& path,
                  const WriteSettings& settings = {});

/// Lines `input` up with `main` in display coordinates: an input that shares
/// the main file's display window but not its data window is cropped or
/// padded with zeros to the main data window. Others are returned as they are.
SharedImage LineUp(const Picture& input, const FileContext* main);

/// Writes a labelled grid of previews of `tiles`, each `tileWidth` pixels
/// wide, as an 8-bit image at `path` (the demo's contact sheet). Labels
/// need a font; without one the sheet has none, and `warn` is told.
void WriteContactSheet(const std::vector<std::pair<std::string, const Image*>>& tiles, const std::string& path,
                       const WarningSink& warn = {}, int tileWidth = 240);

/// Reads a whole file as a picture, and writes a picture with no context, in
/// the image's own pixel format: for tests and the demo.
Image* ReadImageFile(const std::string& path);
/// A copy of `image` in float B, G, R, A alone, as colour conversions take it.
ImageHandle PlainFloatCopy(const Image& image);
void WriteImageFile(const Image& image, const std::string& path);

/// Threads for encoding and decoding files (compression): the render's.
void SetFileThreads(int threads);
/// Stops the image library's worker threads, if it was loaded: a process
/// ends more cleanly (and leak checkers can scan it) without them.
void StopFileThreads();

/// Replaces the file `path` whole with `text`, through a temporary file
/// renamed into place: a reader never sees half of it. Throws `HostError`
/// (render failed) naming the file on failure.
void WriteWhole(const std::string& path, const std::string& text);

/// Removes the temporary files of writes in progress; safe in a signal handler.
void RemoveTemporaryFiles();
