#pragma once
// What the fuzz targets share: the plug-in, and a reader that turns the
// fuzzer's bytes into choices, sizes and values (zeros once they run out).
#include <cstddef>
#include <cstdint>
#include <string>

#include "qz/core/PluginHost.h"

PluginHost& FuzzPlugins();

class FuzzBytes
{
public:
	FuzzBytes(const uint8_t* data, size_t size) : Data(data), Size(size) {}

	uint8_t Byte() { return Position < Size ? Data[Position++] : 0; }
	/// Any float, NaN and infinities included: half the time a small value
	/// in -8 .. 8, else the raw bits of four bytes.
	float Float();
	/// Up to `max` bytes as text.
	std::string Text(size_t max);
	/// Everything not read yet, as text.
	std::string Rest();

private:
	const uint8_t* Data;
	size_t Size;
	size_t Position = 0;
};
