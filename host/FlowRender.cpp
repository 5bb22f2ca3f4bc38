#include "FlowRender.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>

#include "FrameJob.h"
#include "HostError.h"
#include "ImageFiles.h"
#include "ToolSession.h"

#ifndef QZ_VERSION
#define QZ_VERSION "0"
#endif

std::vector<int> FramesToRender(const std::string& range, const std::string& chunk,
                                const std::vector<std::string>& inputs)
{
	std::vector<int> frames;
	if (!range.empty())
		frames = ParseFrameRange(range);
	else
	{
		// The frames on disk, from the first to the last of every sequence;
		// a gap is then a missing frame like any other.
		std::vector<int> found;
		for (const std::string& input : inputs)
			if (IsSequencePath(input))
			{
				const std::vector<int> onDisk = FramesOnDisk(input);
				if (onDisk.empty())
					throw HostError(ExitRenderFailed, "cannot read image sequence " + input + ": no frame of it exists");
				found.push_back(onDisk.front());
				found.push_back(onDisk.back());
			}
		if (found.empty())
		{
			if (!chunk.empty())
				throw HostError(ExitUsage, "--chunk needs --frames");
			return {};
		}
		const auto [first, last] = std::minmax_element(found.begin(), found.end());
		frames = ParseFrameRange(std::to_string(*first) + "-" + std::to_string(*last));
	}
	if (!chunk.empty())
	{
		const auto [k, n] = ParseChunk(chunk);
		frames = ChunkOf(frames, k, n);
	}
	return frames;
}

nlohmann::ordered_json FailureJson(const FlowRenderResult& result)
{
	return {{"frame", result.FailedFrame ? nlohmann::ordered_json(*result.FailedFrame) : nlohmann::ordered_json(nullptr)},
	        {"error", result.Failure ? result.Failure->what() : ""}};
}

int FinishRender(const FlowRenderResult& result)
{
	ReportSkippedFrames(result.Skipped);
	if (!result.Existing.empty() && result.TimeIsFrame)
		std::cerr << "qz: " << result.Existing.size() << " frame" << (result.Existing.size() == 1 ? "" : "s")
		          << " already rendered, not rendered again: " << FrameRangeText(result.Existing) << "\n";
	else if (!result.Existing.empty())
		std::cerr << "qz: output already rendered, not rendered again\n";
	if (!result.Failure)
		return ExitOk;
	std::cerr << "qz: " << result.Failure->what() << "\n";
	return result.Failure->Status;
}

namespace
{
std::string Where(const Flow& flow, const FlowNode& node)
{
	return flow.SingleTool ? "" : "flow node \"" + node.Name + "\": ";
}

std::string Where(const Flow& flow, const FlowSave& save)
{
	return flow.SingleTool ? "output " : "flow save of node \"" + save.Node + "\": ";
}

// Two saves writing one file would lose the first: refused before rendering.
void RefuseSavingTwice(const Flow& flow, const std::vector<int>& frames)
{
	for (int frame : frames)
		for (size_t a = 0; a < flow.Saves.size(); ++a)
			for (size_t b = a + 1; b < flow.Saves.size(); ++b)
			{
				std::error_code ec;
				const std::string file = FramePath(flow.Saves[a].File, frame);
				if (std::filesystem::weakly_canonical(file, ec) ==
				    std::filesystem::weakly_canonical(FramePath(flow.Saves[b].File, frame), ec))
					throw HostError(ExitUsage, "flow saves of nodes \"" + flow.Saves[a].Node + "\" and \"" +
					                               flow.Saves[b].Node + "\" both write " + file);
			}
}

bool AllSavesReadable(const Flow& flow, int frame)
{
	for (const FlowSave& save : flow.Saves)
		if (!IsReadableImage(FramePath(save.File, frame)))
			return false;
	return true;
}

struct RenderJob
{
	const Flow& Graph;
	bool TimeIsFrame;
	std::vector<WriteSettings> SaveSettings;  // by save
	std::mutex Mutex;
	std::map<int, RenderedFrame> Results;
	std::optional<int> FailedFrame;
};

// One session per node; renders a whole frame of the flow, each node once.
class FlowWorker : public FrameWorker
{
public:
	explicit FlowWorker(RenderJob& job) : Job(job)
	{
		for (const FlowNode& node : job.Graph.Nodes)
			Nodes.emplace_back(node);
	}

	void Render(int frame) override
	{
		try
		{
			RenderFrame(frame);
		}
		catch (const HostError&)
		{
			std::lock_guard<std::mutex> lock(Job.Mutex);
			if (!Job.FailedFrame)
				Job.FailedFrame = frame;
			throw;
		}
	}

	bool SplitsIntoChunks() const override
	{
		for (const NodeRenderer& node : Nodes)
			if (auto* tool = dynamic_cast<const ThreadedOperator*>(&node.Session().Tool());
			    tool && tool->SplitsIntoChunks())
				return true;
		return false;
	}

private:
	void RenderFrame(int frame)
	{
		std::map<std::string, Picture> outputs, files;
		RenderedFrame done;
		const double time = Job.TimeIsFrame ? frame : 0.0;
		for (size_t n = 0; n < Job.Graph.Nodes.size(); ++n)
		{
			const FlowNode& node = Job.Graph.Nodes[n];
			NodePictures pictures;
			for (const FlowLink& link : node.Links)
				pictures.emplace_back(link.Input, link.Node.empty() ? ReadFileOnce(link.File, frame, files)
				                                                    : outputs.at(link.Node));
			NodeOutput result = Nodes[n].Render(pictures, time);
			if (!result.Out.Pixels)
				throw NoOutput(node, Nodes[n], frame);
			if (!result.Readouts.empty())
				done.Readouts.emplace_back(node.Name, std::move(result.Readouts));
			outputs[node.Name] = result.Out;
		}
		for (size_t s = 0; s < Job.Graph.Saves.size(); ++s)
		{
			const FlowSave& save = Job.Graph.Saves[s];
			const std::string file = FramePath(save.File, frame);
			const Picture& picture = outputs.at(save.Node);
			WritePicture(*picture.Pixels, picture.Context.get(), file, Job.SaveSettings[s]);
			done.Saved.push_back(file);
		}
		std::lock_guard<std::mutex> lock(Job.Mutex);
		Job.Results[frame] = std::move(done);
	}

	HostError NoOutput(const FlowNode& node, const NodeRenderer& renderer, int frame) const
	{
		return renderer.NoOutput(Where(Job.Graph, node), Job.TimeIsFrame ? " at frame " + std::to_string(frame) : "");
	}

	RenderJob& Job;
	std::vector<NodeRenderer> Nodes;  // by node
};
}

std::vector<WriteSettings> SaveSettings(const Flow& flow, const std::vector<int>& frames, bool timeIsFrame,
                                        const FrameOptions& options)
{
	if (options.SkipExisting && flow.Saves.empty())
		throw HostError(ExitUsage, std::string("--skip-existing needs ") +
		                               (flow.SingleTool ? "an output (-o)" : "a save in the flow") +
		                               " to tell a rendered frame by");
	std::vector<WriteSettings> settingsBySave;
	for (const FlowSave& save : flow.Saves)
	{
		if (frames.size() > 1 && !IsSequencePath(save.File))
			throw HostError(ExitUsage, Where(flow, save) + save.File +
			                               " must name a frame sequence (#### or %04d) to hold " +
			                               std::to_string(frames.size()) + " frames");
		if (IsSequencePath(save.File) && !timeIsFrame)
			throw HostError(ExitUsage, Where(flow, save) + save.File + " names a frame sequence; give --frames");
		WriteSettings settings;
		const std::string type = save.DataType.empty() ? options.DataType : save.DataType;
		if (!type.empty())
			settings.Type = ParseDataType(type);
		settings.Compression = save.Compression.empty() ? options.Compression : save.Compression;
		if (!settings.Compression.empty())
			CheckCompression(settings.Compression, FramePath(save.File, frames.front()));
		for (const FlowNode& node : flow.Nodes)
			if (node.Name == save.Node)
				settings.Software = std::string("qz ") + QZ_VERSION + " (" + node.Tool->Name() + ")";
		settingsBySave.push_back(settings);
	}
	return settingsBySave;
}

FlowRenderResult RenderFlow(const Flow& flow, const FrameOptions& options)
{
	std::vector<std::string> saves;
	const std::vector<std::string> inputs = InputFiles(flow);

	FlowRenderResult result;
	std::vector<int> frames = FramesToRender(options.Range, options.Chunk, inputs);
	result.TimeIsFrame = !options.Range.empty() || !frames.empty();
	if (!result.TimeIsFrame)
		frames = {0};

	for (const FlowSave& save : flow.Saves)
		saves.push_back(save.File);
	RenderJob job{flow, result.TimeIsFrame, SaveSettings(flow, frames, result.TimeIsFrame, options), {}, {}, {}};
	RefuseOverwritingInputs(frames, inputs, saves);
	RefuseSavingTwice(flow, frames);
	if (options.SkipExisting)
	{
		std::vector<int> toRender;
		for (int frame : frames)
			(AllSavesReadable(flow, frame) ? result.Existing : toRender).push_back(frame);
		frames = std::move(toRender);
	}
	const std::vector<int> present = FramesWithInputs(frames, inputs, options.SkipMissing, result.Skipped);
	// Frames already rendered are work done, so a task that finds only those
	// (a requeued farm task) succeeds; one that finds only missing inputs fails.
	if (present.empty() && !result.Existing.empty())
		return result;
	if (present.empty())
	{
		ReportSkippedFrames(result.Skipped);
		throw HostError(ExitRenderFailed, "nothing to render: every frame has a missing input");
	}

	FrameJobOptions jobOptions;
	jobOptions.Threads = options.Threads > 0 ? options.Threads : GetThreadCount();
	jobOptions.Progress = !options.Quiet && !options.Json;
	try
	{
		RenderFrames(present, [&] { return std::make_unique<FlowWorker>(job); }, jobOptions);
	}
	catch (const HostError& e)
	{
		if (!options.Json)
			throw;
		result.Failure = e;
		result.FailedFrame = job.FailedFrame;
	}
	result.Frames = std::move(job.Results);
	return result;
}
