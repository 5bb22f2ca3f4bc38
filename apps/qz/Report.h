#pragma once
// How qz tells the user what happened: errors and warnings as "qz:" lines on
// stderr, exit statuses, the progress line and the end of a render's report.
#include <string>

#include <nlohmann/json.hpp>

#include "qz/core/Error.h"
#include "qz/graph/FlowRender.h"

/// Exit statuses of qz.
enum ExitStatus
{
	ExitOk = 0,
	ExitRenderFailed = 1,  // unreadable or missing input, no output, write failure
	ExitUsage = 2,         // unknown tool or input, bad value, malformed option or flow
};

/// The exit status of a failure of this kind.
ExitStatus ExitStatusOf(ErrorKind kind);

/// A --json report as one line of valid UTF-8: bytes of a path that are no
/// UTF-8 become U+FFFD.
std::string JsonLine(const nlohmann::ordered_json& report);

/// Prints "qz: MESSAGE" on stderr, escaped (see `Escaped`).
void PrintError(const std::string& message);

/// Prints "qz: warning: TEXT" on stderr, escaped.
void PrintWarning(const std::string& warning);

/// "[########------------]  12/100 frames  3.2 fps  0:27 left" on one line
/// of stderr, redrawn in place; nothing when stderr is no terminal or
/// `shown` is false. Its `Hook` goes into a render's `RenderHooks`.
class ProgressLine
{
public:
	explicit ProgressLine(bool shown);
	std::function<void(size_t done, size_t total)> Hook();

private:
	bool Shown;
	double Start;
};

/// Ends a command after its report: says that a chunk was empty, lists
/// skipped and existing frames, and prints the kept failure, if any.
/// Returns the exit status.
int FinishRender(const FlowRenderResult& result, const FrameOptions& options);
