#include "qz/io/ImageFiles.h"

#include <OpenEXR/ImfThreading.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>

#include "FileFormats.h"
#include "qz/colour/ColourConfig.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Sources

ImageSource ImageSource::Parse(const std::string& text)
{
	ImageSource source;
	source.Path = text;
	// Keys are taken from the end, so a path may itself contain ':'.
	for (;;)
	{
		const size_t colon = source.Path.rfind(':');
		if (colon == std::string::npos)
			break;
		const std::string item = source.Path.substr(colon + 1);
		const size_t equals = item.find('=');
		const std::string key = item.substr(0, equals);
		std::string* value = key == "part"         ? &source.Part
		                     : key == "layer"      ? &source.Layer
		                     : key == "channel"    ? &source.Channel
		                     : key == "colorspace" ? &source.ColorSpace
		                                           : nullptr;
		if (!value || equals == std::string::npos)
			break;
		if (!value->empty())
			throw HostError(ErrorKind::Usage, "image " + text + ": \"" + key + "\" is given twice");
		*value = item.substr(equals + 1);
		if (value->empty())
			throw HostError(ErrorKind::Usage, "image " + text + ": \"" + key + "=\" needs a value");
		source.Path.erase(colon);
	}
	if (source.Path.empty())
		throw HostError(ErrorKind::Usage, "image \"" + text + "\" names no file");
	if (!source.Layer.empty() && !source.Channel.empty())
		throw HostError(ErrorKind::Usage, "image " + text + ": give a layer or a channel, not both");
	if (!source.ColorSpace.empty() && source.ColorSpace != "auto")
		try
		{
			ColourSpaceNamed(source.ColorSpace);
		}
		catch (const HostError& e)
		{
			throw HostError(ErrorKind::Usage, "image " + text + ": " + e.what());
		}
	return source;
}

std::string ImageSource::Selection() const
{
	std::string text;
	for (const auto& [key, value] :
	     {std::pair{"part", &Part}, {"layer", &Layer}, {"channel", &Channel}, {"colorspace", &ColorSpace}})
		if (!value->empty())
			text += std::string(":") + key + "=" + *value;
	return text;
}

// ---------------------------------------------------------------------------
// The image library module

namespace
{
std::atomic<int> FileThreads{0};
}

void SetFileThreads(int threads)
{
	FileThreads = threads;
	Imf::setGlobalThreadCount(threads);
}

namespace
{
const ImageLibrary* LoadedLibrary = nullptr;
}

void StopFileThreads()
{
	if (LoadedLibrary)
		LoadedLibrary->StopThreads();
}

const ImageLibrary& TheImageLibrary()
{
	static std::string failure;
	static std::once_flag loaded;
	std::call_once(loaded, [] {
		// Beside libqzsdk, where the build and the install put it.
		Dl_info info{};
		dladdr(reinterpret_cast<void*>(&NewImageTagList), &info);
		const fs::path folder = info.dli_fname ? fs::path(info.dli_fname).parent_path() : fs::path();
		const std::string module = (folder / "libqzimageio.so").string();
		void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
		const auto entry = handle ? reinterpret_cast<const ImageLibrary* (*)()>(dlsym(handle, ImageLibraryEntry)) : nullptr;
		if (entry)
		{
			LoadedLibrary = entry();
			LoadedLibrary->SetThreads(FileThreads);
		}
		else if (const char* why = dlerror())
			failure = why;
	});
	if (!LoadedLibrary)
		throw HostError(ErrorKind::Render, "cannot load the image library module: " + failure);
	return *LoadedLibrary;
}

// ---------------------------------------------------------------------------
// Reading

namespace
{
// What a path that is no regular file names: opening a FIFO for reading
// waits for a writer, and a device never ends, so neither is opened.
std::string KindOf(mode_t mode)
{
	return S_ISDIR(mode)    ? "a directory"
	       : S_ISFIFO(mode) ? "a FIFO (named pipe)"
	       : S_ISSOCK(mode) ? "a socket"
	       : S_ISCHR(mode)  ? "a character device"
	       : S_ISBLK(mode)  ? "a block device"
	                        : "no regular file";
}
}

Picture ReadPicture(const ImageSource& source)
{
	const std::string& path = source.Path;
	struct stat status;
	if (::stat(path.c_str(), &status) != 0)
		throw ReadError(path, errno == ENOENT || errno == ENOTDIR ? "no such file" : std::strerror(errno));
	if (!S_ISREG(status.st_mode))
		throw ReadError(path, "it is " + KindOf(status.st_mode));
	Picture picture = IsExrFile(path) ? ReadExr(source) : TheImageLibrary().Read(source);
	if (!source.ColorSpace.empty())
	{
		const std::string from = source.ColorSpace == "auto"
		                             ? AutomaticColourSpace(path, picture.Context->ColorSpace)
		                             : ColourSpaceNamed(source.ColorSpace);
		const std::string to = SceneLinearSpace();
		ConvertColours(*picture.Pixels, from, to);
		// The reader made the context just now and no one else holds it yet.
		std::const_pointer_cast<FileContext>(picture.Context)->ColorSpace = to;
	}
	return picture;
}


std::optional<double> RecordedFramesPerSecond(const std::string& path)
{
	struct stat status;
	if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || !IsExrFile(path))
		return std::nullopt;
	return ExrFramesPerSecond(path);
}

bool IsReadableImage(const std::string& path)
{
	std::error_code ec;
	if (!fs::is_regular_file(path, ec))
		return false;
	return IsExrFile(path) ? IsCompleteExr(path) : TheImageLibrary().Readable(path);
}

Image* ReadImageFile(const std::string& path)
{
	Picture picture = ReadPicture(ImageSource{path, "", "", "", ""});
	picture.Pixels->Use();
	return picture.Pixels.get();
}

// ---------------------------------------------------------------------------
// Lining inputs up

SharedImage LineUp(const Picture& input, const FileContext* main)
{
	if (!main || !input.Context)
		return input.Pixels;
	const Window& a = main->Data;
	const Window& b = input.Context->Data;
	const Image& from = *input.Pixels;
	if (!(main->Display == input.Context->Display) || a == b || from.Width != b.Width || from.Height != b.Height ||
	    !from.IsPlainFloatRGBA())
		return input.Pixels;

	SharedImage lined = ShareImage(new Image(a.Width, a.Height));
	const int x0 = std::max(a.X, b.X), x1 = std::min(a.X + a.Width, b.X + b.Width);
	const int y0 = std::max(a.Y, b.Y), y1 = std::min(a.Y + a.Height, b.Y + b.Height);
	constexpr size_t PixelBytes = 4 * sizeof(float);
	for (int fileY = y0; fileY < y1 && x0 < x1; ++fileY)
	{
		const size_t rowA = a.Height - 1 - (fileY - a.Y), rowB = b.Height - 1 - (fileY - b.Y);  // bottom-up
		std::memcpy(lined->Data() + (rowA * a.Width + (x0 - a.X)) * PixelBytes,
		            from.Data() + (rowB * b.Width + (x0 - b.X)) * PixelBytes, (x1 - x0) * PixelBytes);
	}
	return lined;
}

// ---------------------------------------------------------------------------
// Writing

StoredType ParseDataType(const std::string& name)
{
	if (name == "uint8")
		return StoredType::UInt8;
	if (name == "uint16")
		return StoredType::UInt16;
	if (name == "half")
		return StoredType::Half;
	if (name == "float")
		return StoredType::Float;
	throw HostError(ErrorKind::Usage, "unknown data type \"" + name + "\" (uint8, uint16, half or float)");
}

void CheckCompression(const std::string& compression, const std::string& path)
{
	const size_t colon = compression.find(':');
	const std::string method = compression.substr(0, colon);
	const std::string level = colon == std::string::npos ? "" : compression.substr(colon + 1);
	std::string extension = fs::path(path).extension().string();
	std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
	static const std::vector<std::string> Exr = {"none", "rle", "zips", "zip", "piz", "pxr24", "b44", "b44a", "dwaa", "dwab"};
	static const std::vector<std::string> Tiff = {"none", "lzw", "zip", "packbits", "ccittrle", "jpeg"};
	const std::vector<std::string>* known = extension == ".exr"                          ? &Exr
	                                        : extension == ".tif" || extension == ".tiff" ? &Tiff
	                                                                                     : nullptr;
	if (!known)
		throw HostError(ErrorKind::Usage, "--compression applies to EXR and TIFF outputs, not " + path);
	std::string list;
	for (const std::string& name : *known)
		list += (list.empty() ? "" : ", ") + name;
	if (std::find(known->begin(), known->end(), method) == known->end())
		throw HostError(ErrorKind::Usage, "unknown compression \"" + method + "\" for " + path + " (" + list + ")");
	if (colon != std::string::npos &&
	    (level.empty() || level.size() > 6 || level.find_first_not_of("0123456789") != std::string::npos))
		throw HostError(ErrorKind::Usage, "compression level \"" + level + "\" is not a whole number");
}

namespace
{
// Slots of the temporary files being written, for removal on a signal. Fixed
// storage, so that a signal handler can read it without allocating.
constexpr int MaxPendingWrites = 64;
std::atomic<int> PendingState[MaxPendingWrites];  // 0 free, 1 being filled, 2 in use
char PendingPath[MaxPendingWrites][PATH_MAX];

// Holds a slot for one temporary file while it exists.
class PendingWrite
{
public:
	explicit PendingWrite(const std::string& path)
	{
		if (path.size() >= PATH_MAX)
			return;
		for (int i = 0; i < MaxPendingWrites && Slot < 0; ++i)
		{
			int free = 0;
			if (PendingState[i].compare_exchange_strong(free, 1))
			{
				std::memcpy(PendingPath[i], path.c_str(), path.size() + 1);
				PendingState[i].store(2);
				Slot = i;
			}
		}
	}
	~PendingWrite()
	{
		if (Slot >= 0)
			PendingState[Slot].store(0);
	}
	PendingWrite(const PendingWrite&) = delete;
	PendingWrite& operator=(const PendingWrite&) = delete;

private:
	int Slot = -1;
};

// A name beside the target that keeps its extension, so the file format is
// still chosen from it. The process ID and a random part keep two writers of
// one output, in one process or two, from sharing a temporary file.
fs::path TemporaryPathFor(const fs::path& target)
{
	uint32_t random = 0;  // left 0 should the system give none: the file is then opened exclusively all the same
	::getrandom(&random, sizeof random, 0);
	char part[9];
	std::snprintf(part, sizeof part, "%08x", random);
	return target.parent_path() / ("." + target.stem().string() + ".qz-" + std::to_string(getpid()) + "-" + part +
	                               "-tmp" + target.extension().string());
}

// The file a written path names: a symbolic link is written through to what
// it names, also when that does not exist yet (a dangling link).
fs::path WrittenThrough(const fs::path& path)
{
	fs::path target = path;
	std::error_code ec;
	for (int hops = 0; hops < 40 && fs::is_symlink(target, ec); ++hops)
	{
		const fs::path next = fs::read_symlink(target, ec);
		if (ec)
			break;
		target = next.is_absolute() ? next : target.parent_path() / next;
	}
	return target.lexically_normal();
}

// Flushes a folder's entries, so that a rename in it survives a power loss.
int SyncFolder(const fs::path& folder)
{
	const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return errno;
	const int failed = ::fsync(fd) != 0 ? errno : 0;
	::close(fd);
	return failed;
}

// Writes `target` whole through a temporary file beside it: `write` fills
// the open file, which is then flushed to disk, renamed into place, and its
// folder flushed. A reader never sees a part of the file under its name, a
// failure leaves the previous file, and after a power loss the name holds the
// old file or the whole new one. A replaced file keeps its permissions.
// Returns "" or why it failed.
std::string ReplaceWhole(const fs::path& target, const std::function<void(int fd)>& write)
{
	struct stat existing;
	const bool replacing = ::stat(target.c_str(), &existing) == 0;
	const fs::path temporary = TemporaryPathFor(target);
	const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
	PendingWrite pending(temporary.string());
	const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
	if (fd < 0)
		return std::strerror(errno);
	std::string why;
	try
	{
		write(fd);
		if (replacing && ::fchmod(fd, existing.st_mode & 07777) != 0)
			why = std::strerror(errno);
		if (why.empty() && ::fsync(fd) != 0)
			why = std::strerror(errno);
	}
	catch (const std::bad_alloc&)
	{
		why = "not enough memory";
	}
	catch (const std::exception& e)
	{
		why = e.what();
	}
	if (::close(fd) != 0 && why.empty())
		why = std::strerror(errno);
	// The output's own name appears only here, once every byte is written: a
	// render killed at any moment leaves at most a hidden temporary file
	// beside it, never a partial file under the output's name. That is what
	// lets --skip-existing take a present, readable output as finished.
	std::error_code ec;
	if (why.empty())
		fs::rename(temporary, target, ec);
	if (!why.empty() || ec)
	{
		std::error_code ignored;
		fs::remove(temporary, ignored);
		return why.empty() ? ec.message() : why;
	}
	if (const int failed = SyncFolder(folder))
		return std::string("written, but its folder could not be flushed: ") + std::strerror(failed);
	return "";
}
}

void WritePicture(const Image& pixels, const FileContext* context, const std::string& path,
                  const WriteSettings& settings)
{
	const auto fail = [&](const std::string& why) {
		return HostError(ErrorKind::Write, "cannot write image " + path + ": " + why);
	};
	std::error_code ec;
	// A symbolic link is written through: the file it names is replaced or made.
	const fs::path target = WrittenThrough(path);
	if (fs::is_directory(target, ec))
		throw fail("it is a directory");
	const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
	if (!fs::is_directory(folder, ec))
		throw fail("folder " + folder.string() + " does not exist");

	// The writers take float B, G, R, A; images of other stored formats come
	// from the demo and the tests. Colours are converted on a copy of their
	// own: the pixels may be a cached output.
	ImageHandle plain;
	if (!pixels.IsPlainFloatRGBA() || !settings.ColorSpace.empty())
		plain = PlainFloatCopy(pixels);
	if (!settings.ColorSpace.empty())
		ConvertColours(*plain, SceneLinearSpace(), settings.ColorSpace);
	const Image& picture = plain ? *plain : pixels;
	WriteSettings written = settings;
	if (!written.Type && !context)
		written.Type = WrittenType(pixels, nullptr, settings);

	const std::string why = ReplaceWhole(target, [&](int fd) {
		if (IsExrPath(target.string()))
			WriteExr(picture, context, fd, written);
		else
			TheImageLibrary().Write(picture, context, fd, target.string(), written);
	});
	if (!why.empty())
		throw fail(why);
}

ImageHandle PlainFloatCopy(const Image& image)
{
	if (image.IsPlainFloatRGBA())
		return ImageHandle(image.CopyOfImage());
	ImageHandle plain(new Image(image.Width, image.Height));
	FltPixel pixel;
	for (size_t i = 0; i < image.PixelCount(); ++i)
	{
		image.ReadPixel(i, pixel);
		plain->WritePixel(i, pixel);
	}
	return plain;
}

void WriteImageFile(const Image& image, const std::string& path)
{
	WritePicture(image, nullptr, path);
}

void WriteContactSheet(const std::vector<std::pair<std::string, const Image*>>& tiles, const std::string& path,
                       const WarningSink& warn, int tileWidth)
{
	if (tiles.empty())
		return;
	ImageHandle sheet(TheImageLibrary().ContactSheet(tiles, tileWidth, warn));
	WriteImageFile(*sheet, path);
}

void RemoveTemporaryFiles()
{
	for (int i = 0; i < MaxPendingWrites; ++i)
		if (PendingState[i].load() == 2)
			::unlink(PendingPath[i]);
}

void WriteWhole(const std::string& target, const std::string& text)
{
	const std::string why = ReplaceWhole(WrittenThrough(target), [&](int fd) {
		if (const int failed = WriteAt(fd, text.data(), text.size(), 0))
			throw std::runtime_error(std::strerror(failed));
	});
	if (!why.empty())
		throw HostError(ErrorKind::Write, "cannot write " + target + ": " + why);
}
