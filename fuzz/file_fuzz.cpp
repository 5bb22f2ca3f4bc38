// The picture reader on arbitrary file contents, through a file as qz reads
// one: EXR by its magic number, every other format through the image
// library, which finds the format from the bytes. Every fault is an input
// error.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "qz/core/Error.h"
#include "qz/io/ImageFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	// No extension, so that no format is taken for granted.
	static const std::string path =
		(std::filesystem::temp_directory_path() / ("qz-file-fuzz-" + std::to_string(::getpid()))).string();
	std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
	try
	{
		ReadPicture(ImageSource{path, "", "", "", ""});
	}
	catch (const HostError& e)
	{
		if (e.Kind != ErrorKind::Input)
			__builtin_trap();
	}
	::unlink(path.c_str());
	return 0;
}
