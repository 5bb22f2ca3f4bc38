#include "qz/graph/FlowRender.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "WorkerPool.h"
#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"
#include "qz/graph/Evaluator.h"
#include "qz/graph/FrameJob.h"
#include "qz/io/ImageFiles.h"

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
					throw HostError(ErrorKind::Input, "cannot read image sequence " + input + ": no frame of it exists");
				found.push_back(onDisk.front());
				found.push_back(onDisk.back());
			}
		if (found.empty())
		{
			if (!chunk.empty())
				throw HostError(ErrorKind::Usage, "--chunk needs --frames");
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
	        {"error", result.Failure ? Escaped(result.Failure->what()) : ""}};
}

namespace
{
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
					throw HostError(ErrorKind::Usage, "flow saves of nodes \"" + flow.Saves[a].Node + "\" and \"" +
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
	std::vector<size_t> SavedNodes;           // by save
	OutputCache& Cache;
	std::set<ContentHash> Repeated;  // hashes met at more than one frame: worth keeping
	std::mutex Mutex;
	std::map<int, RenderedFrame> Results;
	std::optional<int> FailedFrame;
};

EvaluatorSettings SettingsOf(RenderJob& job, int threads)
{
	EvaluatorSettings settings;
	settings.Threads = threads;
	settings.MessagesNameFrame = job.TimeIsFrame;
	settings.Keep = [&job](const ContentHash& hash) { return job.Repeated.count(hash) > 0; };
	return settings;
}

// The hashes of every node and file at every frame, those met at two frames
// or more kept: the outputs that are worth keeping in the cache.
std::set<ContentHash> RepeatedHashes(RenderJob& job, const std::vector<int>& frames)
{
	Evaluator hashes(job.Graph, job.Cache);
	std::map<ContentHash, int> firstFrame;
	std::set<ContentHash> repeated;
	const auto count = [&](const ContentHash& hash, int frame) {
		const auto [found, added] = firstFrame.emplace(hash, frame);
		if (!added && found->second != frame)
			repeated.insert(hash);
	};
	for (int frame : frames)
		for (size_t n = 0; n < job.Graph.Nodes.size(); ++n)
		{
			count(hashes.NodeHash(n, frame), frame);
			for (const FlowLink& link : job.Graph.Nodes[n].Links)
				if (!link.File.empty())
					count(hashes.FileHash(link.File, frame), frame);
		}
	return repeated;
}

// Renders whole frames of the flow through its own evaluator.
class FlowWorker : public FrameWorker
{
public:
	FlowWorker(RenderJob& job, int threads) : Job(job), Eval(job.Graph, job.Cache, SettingsOf(job, threads))
	{
		for (size_t n = 0; n < job.Graph.Nodes.size(); ++n)
			AllNodes.push_back(n);
	}

	void Render(int frame) override
	{
		try
		{
			RenderFrame(frame);
		}
		catch (const std::bad_alloc&)
		{
			NoteFailure(frame);
			throw HostError(ErrorKind::Render, std::string("not enough memory") +
			                                       (Job.TimeIsFrame ? " at frame " + std::to_string(frame) : ""));
		}
		catch (const HostError&)
		{
			NoteFailure(frame);
			throw;
		}
	}

	bool SplitsIntoChunks() const override { return Eval.SplitsIntoChunks(); }

private:
	void NoteFailure(int frame)
	{
		std::lock_guard<std::mutex> lock(Job.Mutex);
		if (!Job.FailedFrame)
			Job.FailedFrame = frame;
	}

	void RenderFrame(int frame)
	{
		const Evaluation evaluation = Eval.Evaluate(AllNodes, frame, Job.SavedNodes);
		RenderedFrame done;
		for (size_t n = 0; n < Job.Graph.Nodes.size(); ++n)
			if (!evaluation.Readouts[n].empty())
				done.Readouts.emplace_back(Job.Graph.Nodes[n].Name, evaluation.Readouts[n]);
		for (size_t s = 0; s < Job.Graph.Saves.size(); ++s)
		{
			const std::string file = FramePath(Job.Graph.Saves[s].File, frame);
			const Picture& picture = evaluation.Outputs[Job.SavedNodes[s]]->Out;
			WritePicture(*picture.Pixels, picture.Context.get(), file, Job.SaveSettings[s]);
			done.Saved.push_back(file);
		}
		std::lock_guard<std::mutex> lock(Job.Mutex);
		Job.Results[frame] = std::move(done);
	}

	RenderJob& Job;
	Evaluator Eval;
	std::vector<size_t> AllNodes;
};
}

std::vector<WriteSettings> SaveSettings(const Flow& flow, const std::vector<int>& frames, bool timeIsFrame,
                                        const FrameOptions& options)
{
	if (options.SkipExisting && flow.Saves.empty())
		throw HostError(ErrorKind::Usage, std::string("--skip-existing needs ") +
		                               (flow.SingleTool ? "an output (-o)" : "a save in the flow") +
		                               " to tell a rendered frame by");
	std::vector<WriteSettings> settingsBySave;
	for (const FlowSave& save : flow.Saves)
	{
		if (frames.size() > 1 && !IsSequencePath(save.File))
			throw HostError(ErrorKind::Usage, Where(flow, save) + save.File +
			                               " must name a frame sequence (#### or %04d) to hold " +
			                               std::to_string(frames.size()) + " frames");
		if (IsSequencePath(save.File) && !timeIsFrame)
			throw HostError(ErrorKind::Usage, Where(flow, save) + save.File + " names a frame sequence; give --frames");
		WriteSettings settings;
		const std::string type = save.DataType.empty() ? options.DataType : save.DataType;
		if (!type.empty())
			settings.Type = ParseDataType(type);
		settings.Compression = save.Compression.empty() ? options.Compression : save.Compression;
		settings.ColorSpace = save.ColorSpace;
		if (!settings.Compression.empty())
			CheckCompression(settings.Compression, FramePath(save.File, frames.front()));
		for (const FlowNode& node : flow.Nodes)
			if (node.Name == save.Node)
				settings.Software = std::string("qz ") + QZ_VERSION + " (" + node.Tool->Name() + ")";
		settingsBySave.push_back(settings);
	}
	return settingsBySave;
}

FlowRenderResult RenderFlow(const Flow& given, const FrameOptions& options, const RenderHooks& hooks)
{
	std::vector<std::string> saves;
	const std::vector<std::string> inputs = InputFiles(given);

	FlowRenderResult result;
	std::vector<int> frames = FramesToRender(options.Range, options.Chunk, inputs);
	result.TimeIsFrame = !options.Range.empty() || !frames.empty();
	// More farm tasks than frames leave some tasks none: they have succeeded.
	if (!options.Chunk.empty() && frames.empty())
	{
		result.EmptyChunk = true;
		return result;
	}
	if (!result.TimeIsFrame)
		frames = {0};
	const std::optional<Flow> rated = WithMainInputRate(given, frames.front());
	const Flow& flow = rated ? *rated : given;
	CheckAnimatedValues(flow, frames);

	for (const FlowSave& save : flow.Saves)
		saves.push_back(save.File);
	std::unique_ptr<OutputCache> ownCache;
	OutputCache& cache = hooks.Cache ? *hooks.Cache : *(ownCache = std::make_unique<OutputCache>(DefaultCacheBytes));
	RenderJob job{flow, result.TimeIsFrame, SaveSettings(flow, frames, result.TimeIsFrame, options), {}, cache, {},
	              {},   {},                 {}};
	for (const FlowSave& save : flow.Saves)
		for (size_t n = 0; n < flow.Nodes.size(); ++n)
			if (flow.Nodes[n].Name == save.Node)
				job.SavedNodes.push_back(n);
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
		result.Failure = HostError(ErrorKind::Input, "nothing to render: every frame has a missing input");
		return result;
	}
	job.Repeated = RepeatedHashes(job, present);

	FrameJobOptions jobOptions;
	jobOptions.Threads = options.Threads > 0 ? options.Threads : GetThreadCount();
	jobOptions.Progress = hooks.Progress;
	try
	{
		const RenderCancel cancel(hooks.Cancel);
		RenderFrames(present, [&] { return std::make_unique<FlowWorker>(job, options.Threads); }, jobOptions);
	}
	catch (const HostError& e)
	{
		result.Failure = e;
		result.FailedFrame = job.FailedFrame;
	}
	catch (const RenderCancelled&)
	{
		result.Cancelled = true;
		result.Failure = HostError(ErrorKind::Render, "render cancelled");
	}
	result.Frames = std::move(job.Results);
	return result;
}
