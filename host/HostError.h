#pragma once
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
};
