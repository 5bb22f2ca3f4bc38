#include "RunCommand.h"

#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Describe.h"
#include "FrameJob.h"
#include "Frames.h"
#include "HostError.h"
#include "ImageFiles.h"
#include "ToolSession.h"

namespace fs = std::filesystem;

std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option)
{
	const size_t equals = text.find('=');
	if (equals == std::string::npos || equals == 0)
		throw HostError(ExitUsage, std::string(option) + " expects ID=VALUE, not \"" + text + "\"");
	return {text.substr(0, equals), text.substr(equals + 1)};
}

std::vector<int> FramesToRender(const std::string& range, const std::string& chunk)
{
	if (range.empty())
	{
		if (!chunk.empty())
			throw HostError(ExitUsage, "--chunk needs --frames");
		return {};
	}
	std::vector<int> frames = ParseFrameRange(range);
	if (!chunk.empty())
	{
		const auto [k, n] = ParseChunk(chunk);
		frames = ChunkOf(frames, k, n);
	}
	return frames;
}

namespace
{
struct ImageRelease
{
	void operator()(Image* image) const { image->Recycle(); }
};
using SharedImage = std::shared_ptr<Image>;

struct FrameResult
{
	std::string Output;
	std::vector<std::pair<std::string, double>> Readouts;
};

// Everything the workers share: the tool, its settings, inputs that are one
// file for every frame, and the results.
struct RunJob
{
	const Registry* Tool;
	std::vector<std::pair<std::string, std::string>> Values;
	std::vector<std::pair<std::string, std::string>> SequenceInputs;  // ID, pattern
	std::vector<std::pair<std::string, SharedImage>> StillInputs;
	std::string OutputPath;
	bool TimeIsFrame;

	std::mutex Mutex;
	std::map<int, FrameResult> Results;
};

class RunWorker : public FrameWorker
{
public:
	explicit RunWorker(RunJob& job) : Job(job), Session(job.Tool)
	{
		for (const auto& [id, value] : job.Values)
			Session.SetValue(id, value);
		for (const auto& [id, image] : job.StillInputs)
			Session.Connect(id, image.get());
	}

	void Render(int frame) override
	{
		for (const auto& [id, pattern] : Job.SequenceInputs)
		{
			SharedImage image(ReadImageFile(FramePath(pattern, frame)), ImageRelease());
			Session.Connect(id, image.get());
		}
		RenderResult result = Session.Render(Job.TimeIsFrame ? frame : 0.0);
		if (!result.Output)
		{
			const std::string why = Session.DescribeChoicesAndConnections();
			throw HostError(ExitRenderFailed, Session.Name() + " set no output" +
			                                      (Job.TimeIsFrame ? " at frame " + std::to_string(frame) : "") +
			                                      (why.empty() ? "" : " (" + why + ")"));
		}
		FrameResult done{Job.OutputPath.empty() ? "" : FramePath(Job.OutputPath, frame), result.Readouts};
		if (!done.Output.empty())
			WriteImageFile(*result.Output, done.Output);
		std::lock_guard<std::mutex> lock(Job.Mutex);
		Job.Results[frame] = std::move(done);
	}

	bool SplitsIntoChunks() const override
	{
		auto* tool = dynamic_cast<const ThreadedOperator*>(&Session.Tool());
		return tool && tool->SplitsIntoChunks();
	}

private:
	RunJob& Job;
	ToolSession Session;
};

nlohmann::ordered_json ReadoutsJson(const std::vector<std::pair<std::string, double>>& readouts)
{
	nlohmann::ordered_json json = nlohmann::ordered_json::object();
	for (const auto& [id, value] : readouts)
		json[id] = JsonNumber(value);
	return json;
}
}

int RunCommand(const PluginHost& host, const RunOptions& options, std::ostream& out)
{
	RunJob job;
	job.Tool = host.FindTool(options.Tool);
	if (!job.Tool)
		throw HostError(ExitUsage, "unknown tool \"" + options.Tool + "\" (qz list shows the tools)");

	// Check every ID and value once, up front, warning once per doubtful value.
	ToolSession probe(job.Tool);
	for (const std::string& assignment : options.Values)
	{
		job.Values.push_back(SplitAssignment(assignment, "-s"));
		const std::string warning = probe.SetValue(job.Values.back().first, job.Values.back().second);
		if (!warning.empty())
			std::cerr << "qz: warning: " << warning << "\n";
	}
	std::vector<std::pair<std::string, std::string>> images;
	for (const std::string& assignment : options.Images)
	{
		images.push_back(SplitAssignment(assignment, "-i"));
		probe.FindImageInput(images.back().first);
	}

	std::vector<int> frames = FramesToRender(options.Frames.Range, options.Frames.Chunk);
	job.TimeIsFrame = !options.Frames.Range.empty();
	if (!job.TimeIsFrame)
		frames = {0};
	const bool sequenceOutput = IsSequencePath(options.OutputPath);
	for (const auto& [id, path] : images)
		if (IsSequencePath(path) && !job.TimeIsFrame)
			throw HostError(ExitUsage, "input \"" + id + "\" names a frame sequence (" + path + "); give --frames");
	if (sequenceOutput && !job.TimeIsFrame)
		throw HostError(ExitUsage, "output " + options.OutputPath + " names a frame sequence; give --frames");
	if (!options.OutputPath.empty() && frames.size() > 1 && !sequenceOutput)
		throw HostError(ExitUsage, "output " + options.OutputPath + " must name a frame sequence (#### or %04d) to hold " +
		                               std::to_string(frames.size()) + " frames");

	// Refuse to overwrite an input, and find missing frames before rendering any.
	std::vector<std::string> inputPaths, skipped;
	for (const auto& [id, path] : images)
		inputPaths.push_back(path);
	if (!options.OutputPath.empty())
		RefuseOverwritingInputs(frames, inputPaths, {options.OutputPath});
	const std::vector<int> present = FramesWithInputs(frames, inputPaths, options.Frames.SkipMissing, skipped);

	for (const auto& [id, path] : images)
		if (IsSequencePath(path))
			job.SequenceInputs.emplace_back(id, path);
		else
			job.StillInputs.emplace_back(id, SharedImage(ReadImageFile(path), ImageRelease()));
	job.OutputPath = options.OutputPath;

	FrameJobOptions jobOptions;
	jobOptions.Threads = options.Frames.Threads > 0 ? options.Frames.Threads : GetThreadCount();
	jobOptions.Progress = !options.Frames.Quiet && !options.Frames.Json;
	RenderFrames(present, [&] { return std::make_unique<RunWorker>(job); }, jobOptions);

	const std::string name = job.Tool->Name();
	if (!job.TimeIsFrame)
	{
		const FrameResult& result = job.Results.at(0);
		if (options.Frames.Json)
			out << nlohmann::ordered_json{{"tool", name},
			                              {"output", result.Output.empty() ? nlohmann::ordered_json(nullptr)
			                                                               : nlohmann::ordered_json(result.Output)},
			                              {"readouts", ReadoutsJson(result.Readouts)}}
			           .dump()
			    << "\n";
		else
			for (const auto& [id, value] : result.Readouts)
				out << id << " = " << FormatNumber(value) << "\n";
	}
	else if (options.Frames.Json)
	{
		nlohmann::ordered_json rendered = nlohmann::ordered_json::array();
		for (const auto& [frame, result] : job.Results)
			rendered.push_back({{"frame", frame},
			                    {"output", result.Output.empty() ? nlohmann::ordered_json(nullptr)
			                                                     : nlohmann::ordered_json(result.Output)},
			                    {"readouts", ReadoutsJson(result.Readouts)}});
		out << nlohmann::ordered_json{{"tool", name}, {"frames", rendered}, {"skipped", skipped}}.dump() << "\n";
	}
	else
		for (const auto& [frame, result] : job.Results)
			for (const auto& [id, value] : result.Readouts)
				out << "frame " << frame << ": " << id << " = " << FormatNumber(value) << "\n";

	ReportSkippedFrames(skipped);
	return ExitOk;
}
