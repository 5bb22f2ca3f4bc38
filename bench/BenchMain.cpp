// Runs every benchmark, then prints one table: each measurement beside a
// memcpy of the frame and, where there is one, OpenImageIO's nearest
// equivalent operation, with the ratios. With --benchmark_repetitions the
// table takes each benchmark's fastest repetition: on a shared machine the
// slower ones measure other work as well. (`make bench` also shuffles the
// repetitions of all benchmarks together, so that a ratio does not hang on
// how fast the memory was at the one moment the memcpy ran.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace
{
// Tool benchmark (prefix) -> OpenImageIO benchmark of the same work.
const std::vector<std::pair<std::string, std::string>> Equivalents = {
	{"BM_ZDevider", "BM_OiioDiv"},
	{"BM_Normalizer", "BM_OiioStatsRemap"},
	{"BM_Wireless", "BM_OiioCopy"},
	{"BM_ConvolutionExact", "BM_OiioConvolve"},
};

class CollectingReporter : public benchmark::ConsoleReporter
{
public:
	void ReportRuns(const std::vector<Run>& runs) override
	{
		for (const Run& run : runs)
			if (!run.error_occurred && run.run_type == Run::RT_Iteration)
			{
				const double ms = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3;
				auto [fastest, first] = Milliseconds.try_emplace(run.benchmark_name(), ms);
				if (!first)
					fastest->second = std::min(fastest->second, ms);
			}
		ConsoleReporter::ReportRuns(runs);
	}

	std::map<std::string, double> Milliseconds;  // by full benchmark name
};

// "BM_ZDevider/1/real_time" -> "BM_OiioDiv/1/real_time": the same arguments.
std::string EquivalentOf(const std::string& name)
{
	for (const auto& [tool, oiio] : Equivalents)
		if (name.rfind(tool, 0) == 0)
			return oiio + name.substr(tool.size());
	return "";
}

void PrintTable(const std::map<std::string, double>& ms)
{
	auto memcpy = ms.find("BM_MemcpyFrame");
	const double copy = memcpy == ms.end() ? 0.0 : memcpy->second;
	std::printf("\n%-44s %10s %9s   %-36s %10s %9s\n", "benchmark (args: threads 1 / 0 = all, or sizes)", "ms",
	            "x memcpy", "OpenImageIO equivalent", "ms", "x OIIO");
	for (const auto& [name, time] : ms)
	{
		if (name.rfind("BM_Oiio", 0) == 0)
			continue;
		std::printf("%-44s %10.2f %9.2f", name.c_str(), time, copy > 0 ? time / copy : 0.0);
		const std::string equivalent = EquivalentOf(name);
		auto other = ms.find(equivalent);
		if (other != ms.end())
			std::printf("   %-36s %10.2f %9.2f", equivalent.c_str(), other->second, time / other->second);
		std::printf("\n");
	}
}
}

int main(int argc, char** argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	CollectingReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	PrintTable(reporter.Milliseconds);
	benchmark::Shutdown();
	return 0;
}
