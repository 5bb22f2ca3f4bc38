#include "Report.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

ExitStatus ExitStatusOf(ErrorKind kind)
{
	return kind == ErrorKind::Usage ? ExitUsage : ExitRenderFailed;
}

std::string JsonLine(const nlohmann::ordered_json& report)
{
	return report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void PrintError(const std::string& message)
{
	std::cerr << "qz: " << Escaped(message) << "\n";
}

void PrintWarning(const std::string& warning)
{
	std::cerr << "qz: warning: " << Escaped(warning) << "\n";
}

namespace
{
double Seconds()
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void ReportSkippedFrames(const std::vector<std::string>& skipped)
{
	if (skipped.empty())
		return;
	std::cerr << "qz: skipped " << skipped.size() << " frame" << (skipped.size() == 1 ? "" : "s")
	          << " with missing input:";
	for (const std::string& file : skipped)
		std::cerr << " " << Escaped(file);
	std::cerr << "\n";
}
}

ProgressLine::ProgressLine(bool shown) : Shown(shown && isatty(STDERR_FILENO)), Start(Seconds()) {}

std::function<void(size_t done, size_t total)> ProgressLine::Hook()
{
	if (!Shown)
		return {};
	return [start = Start](size_t done, size_t total) {
		if (total < 2)
			return;
		const double seconds = Seconds() - start;
		const double fps = seconds > 0 ? done / seconds : 0.0;
		const long left = fps > 0 ? static_cast<long>((total - done) / fps + 0.5) : 0;
		constexpr int Width = 24;
		const int filled = static_cast<int>(Width * done / total);
		std::fprintf(stderr, "\r[%s%s] %zu/%zu frames  %.1f fps  %ld:%02ld left ",
		             std::string(filled, '#').c_str(), std::string(Width - filled, '-').c_str(), done, total, fps,
		             left / 60, left % 60);
		if (done == total)
			std::fputc('\n', stderr);
		std::fflush(stderr);
	};
}

int FinishRender(const FlowRenderResult& result, const FrameOptions& options)
{
	if (result.EmptyChunk)
		std::cerr << "qz: chunk " << options.Chunk << " holds no frames of " << options.Range << ": nothing to render\n";
	ReportSkippedFrames(result.Skipped);
	if (!result.Existing.empty() && result.TimeIsFrame)
		std::cerr << "qz: " << result.Existing.size() << " frame" << (result.Existing.size() == 1 ? "" : "s")
		          << " already rendered, not rendered again: " << FrameRangeText(result.Existing) << "\n";
	else if (!result.Existing.empty())
		std::cerr << "qz: output already rendered, not rendered again\n";
	if (!result.Failure)
		return ExitOk;
	PrintError(result.Failure->what());
	return ExitStatusOf(result.Failure->Kind);
}
