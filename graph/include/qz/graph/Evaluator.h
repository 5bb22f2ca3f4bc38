#pragma once
// The one flow evaluator: `qz run`, `qz flow`, the studio and qztools all
// pull node outputs through it. A node's output at a frame is known by a
// content hash of everything it depends on, worked out before anything
// renders: its tool, every input value at that frame, the hashes of the
// nodes it reads, and for a file its path, size and time of last change.
// Outputs are kept in one `OutputCache` under that hash, so a node whose
// hash does not change from frame to frame renders once per range, and a
// still file is read once.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qz/graph/Flow.h"
#include "qz/graph/NodeRender.h"
#include "qz/graph/OutputCache.h"

/// A picture that stands in for a file of a flow (a host's own image), with
/// the hash of its pixels.
struct StandIn
{
	Picture Pixels;
	ContentHash Hash;
};

struct EvaluatorSettings
{
	/// The render's thread bound (0: the process default).
	int Threads = 0;
	/// The path a file link reads at a frame, from the path the flow gives
	/// with the frame filled in; may refuse it by throwing. By default, the
	/// path itself.
	std::function<std::string(const std::string& path)> ResolveFile;
	/// Pictures that stand in for file links, by the link's file as the
	/// flow gives it (after `ParseFlow` resolved it against the flow's folder).
	std::map<std::string, StandIn> StandIns;
	/// Whether a node's "set no output" error names the frame.
	bool MessagesNameFrame = false;
	/// Whether an output is kept in the cache; by default every one is.
	std::function<bool(const ContentHash& hash)> Keep;
};

/// What one evaluation gave, by node index of the flow.
struct Evaluation
{
	/// The outputs asked for; null for the other nodes, whose outputs are let
	/// go as soon as the nodes reading them have rendered.
	std::vector<SharedOutput> Outputs;
	std::vector<ReadoutList> Readouts;  // of every node evaluated
	std::vector<std::string> Rendered;  // nodes that rendered, not found in the cache, in order
};

/// Evaluates one flow. Each evaluator keeps its own tool sessions, so one
/// thread uses it at a time; several evaluators may share one cache.
class Evaluator
{
public:
	Evaluator(const Flow& flow, OutputCache& cache, EvaluatorSettings settings = {});
	~Evaluator();
	Evaluator(const Evaluator&) = delete;
	Evaluator& operator=(const Evaluator&) = delete;

	/// The index of the node named `name`, or nothing.
	std::optional<size_t> NodeIndex(const std::string& name) const;

	/// The content hash of node `node` at `frame`.
	ContentHash NodeHash(size_t node, int frame);
	/// The content hash of the picture a file link reads at `frame`.
	ContentHash FileHash(const std::string& file, int frame);

	/// Renders, or finds in the cache, the nodes `targets` and all they read,
	/// at `frame` (also the render's time), and returns the outputs of
	/// `returned` (by default the targets'). Throws `HostError` (render) for
	/// a node that sets no output, naming it.
	Evaluation Evaluate(const std::vector<size_t>& targets, int frame,
	                    const std::optional<std::vector<size_t>>& returned = std::nullopt);

	/// The picture node `node` sees at its image input `input` at `frame`,
	/// lined up with its main input, and in `evaluated` what was evaluated for
	/// it. Throws `HostError` (usage) when `input` is not connected.
	Picture InputPicture(size_t node, const std::string& input, int frame, Evaluation* evaluated = nullptr);

	/// True once a tool of this evaluator split a render into chunks on the
	/// worker pool (such work already uses every thread).
	bool SplitsIntoChunks() const;

private:
	struct Source;
	/// A file link at the frame hashed: what it reads there, and its hash.
	struct FileAtFrame
	{
		ImageSource Source;  // its path resolved at the frame
		ContentHash Hash;
	};
	/// The link a disabled node hands on unchanged: its main input's; null
	/// for an enabled node.
	const Source* PassedOn(size_t node) const;
	/// Starts the hashes of `frame`, unless they are its already.
	void HashAt(int frame);
	const FileAtFrame& File(const std::string& file, int frame);
	SharedOutput ReadFile(const std::string& file, int frame);
	SharedOutput Output(size_t node, int frame, Evaluation& evaluation);
	NodePictures Pictures(size_t node, int frame, Evaluation& evaluation);
	NodeRenderer& Renderer(size_t node);
	std::string Where(size_t node) const;

	const Flow& Graph;
	OutputCache& Cache;
	EvaluatorSettings Settings;
	std::map<std::string, size_t> Indices;
	std::vector<std::vector<Source>> Sources;  // by node, in link order
	std::vector<std::unique_ptr<NodeRenderer>> Renderers;  // by node, made on first use
	int HashedFrame = 0;
	std::vector<std::optional<ContentHash>> Hashes;  // by node, at `HashedFrame`
	std::map<std::string, FileAtFrame> Files;        // by file link, at `HashedFrame`
};
