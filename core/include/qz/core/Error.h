#pragma once
// What the libraries report: one typed error for a failure, warnings through
// a sink their caller passes in. They print nothing; the command line alone
// turns an error into an exit status.
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

/// What kind of failure an error is.
enum class ErrorKind
{
	Usage,   // unknown tool or input, bad value, malformed option or flow
	Input,   // an input file cannot be read, is missing or does not hold what is asked for
	Render,  // a tool set no output, not enough memory, nothing to render
	Write,   // an output cannot be written
};

/// A failure, as one line of text, with the flow node and input it lies in
/// where there is one, for callers that point at them rather than print.
class HostError : public std::runtime_error
{
public:
	HostError(ErrorKind kind, const std::string& message) : std::runtime_error(message), Kind(kind) {}
	ErrorKind Kind;
	std::optional<std::string> Node, Input;
};

/// Takes one warning, a line of text without the program's name.
using WarningSink = std::function<void(const std::string& warning)>;

/// `text` safe to show on a terminal and to put in JSON: control characters
/// (C0, DEL and C1) and bytes that are not valid UTF-8 become `\xNN`, one per
/// byte; everything else stays as it is. Names from a file's header and
/// texts of a request may hold anything, terminal escape sequences included.
std::string Escaped(const std::string& text);

/// At most the first 40 bytes of `text`, cut before a UTF-8 sequence it would
/// split, "..." marking the cut: errors quote what they refuse, and a refused
/// value may be megabytes long.
inline std::string Excerpt(const std::string& text)
{
	size_t cut = 40;
	if (text.size() <= cut)
		return text;
	while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
		--cut;
	return text.substr(0, cut) + "...";
}
