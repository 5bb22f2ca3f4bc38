#pragma once
#include <optional>
#include <stdexcept>
#include <string>

/// Exit statuses of qz.
enum ExitStatus
{
	ExitOk = 0,
	ExitRenderFailed = 1,  // unreadable input, missing input, no output, write failure
	ExitUsage = 2,         // unknown tool or input, bad value, malformed option
};

/// A failure to report as one line on stderr, with the exit status it gives.
class HostError : public std::runtime_error
{
public:
	HostError(ExitStatus status, const std::string& message) : std::runtime_error(message), Status(status) {}
	ExitStatus Status;
	/// The flow node and input a flow fault lies in, where the message names
	/// them, for callers that point at them rather than print the message.
	std::optional<std::string> Node, Input;
};

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
