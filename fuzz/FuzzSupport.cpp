#include "FuzzSupport.h"

#include <cstring>

PluginHost& FuzzPlugins()
{
	static PluginHost host({QZ_BIN_DIR});
	return host;
}

float FuzzBytes::Float()
{
	if (Byte() & 1)
		return (static_cast<int>(Byte()) - 128) / 16.0f;
	uint32_t bits = 0;
	for (int i = 0; i < 4; ++i)
		bits = (bits << 8) | Byte();
	float value;
	std::memcpy(&value, &bits, sizeof value);
	return value;
}

std::string FuzzBytes::Text(size_t max)
{
	const size_t length = Position < Size ? std::min(max, static_cast<size_t>(Byte())) : 0;
	std::string text;
	for (size_t i = 0; i < length && Position < Size; ++i)
		text += static_cast<char>(Byte());
	return text;
}

std::string FuzzBytes::Rest()
{
	std::string text(reinterpret_cast<const char*>(Data) + Position, Size - Position);
	Position = Size;
	return text;
}
