#include "qz/core/Error.h"

#include <cstdio>

namespace
{
// The length of the valid UTF-8 sequence that starts at `at`, or 0: no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
size_t SequenceLength(const std::string& text, size_t at)
{
	const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
	const unsigned lead = byte(at);
	const auto continues = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
	if (lead < 0x80)
		return 1;
	if (lead >= 0xC2 && lead <= 0xDF)
		return continues(at + 1) ? 2 : 0;
	if (lead >= 0xE0 && lead <= 0xEF)
	{
		const unsigned second = byte(at + 1);
		const bool valid = (lead == 0xE0 ? second >= 0xA0 : lead == 0xED ? second <= 0x9F : true);
		return valid && continues(at + 1) && continues(at + 2) ? 3 : 0;
	}
	if (lead >= 0xF0 && lead <= 0xF4)
	{
		const unsigned second = byte(at + 1);
		const bool valid = (lead == 0xF0 ? second >= 0x90 : lead == 0xF4 ? second <= 0x8F : true);
		return valid && continues(at + 1) && continues(at + 2) && continues(at + 3) ? 4 : 0;
	}
	return 0;
}

void AppendEscaped(std::string& out, unsigned char byte)
{
	char escape[5];
	std::snprintf(escape, sizeof escape, "\\x%02x", byte);
	out += escape;
}
}

std::string Escaped(const std::string& text)
{
	std::string out;
	out.reserve(text.size());
	for (size_t at = 0; at < text.size();)
	{
		const size_t length = SequenceLength(text, at);
		const unsigned char lead = static_cast<unsigned char>(text[at]);
		const bool c0 = length == 1 && (lead < 0x20 || lead == 0x7F);
		const bool c1 = length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
		if (length == 0 || c0 || c1)
		{
			for (size_t i = 0; i < (length ? length : 1); ++i)
				AppendEscaped(out, static_cast<unsigned char>(text[at + i]));
			at += length ? length : 1;
		}
		else
		{
			out.append(text, at, length);
			at += length;
		}
	}
	return out;
}
