#include "qz/graph/Evaluator.h"

#include <sys/stat.h>

#include "Operator.h"
#include "qz/core/Error.h"
#include "qz/graph/Frames.h"
#include "qz/io/ImageFiles.h"

/// Where an image input's picture comes from.
struct Evaluator::Source
{
	std::string Input;
	std::optional<size_t> Node;  // the node it reads, or
	std::string File;            // the file link as the flow gives it
};


Evaluator::Evaluator(const Flow& flow, OutputCache& cache, EvaluatorSettings settings)
	: Graph(flow), Cache(cache), Settings(std::move(settings)), Sources(flow.Nodes.size()),
	  Renderers(flow.Nodes.size()), Hashes(flow.Nodes.size())
{
	for (size_t n = 0; n < flow.Nodes.size(); ++n)
		Indices.emplace(flow.Nodes[n].Name, n);
	for (size_t n = 0; n < flow.Nodes.size(); ++n)
		for (const FlowLink& link : flow.Nodes[n].Links)
			Sources[n].push_back(link.Node.empty()
			                         ? Source{link.Input, std::nullopt, link.File}
			                         : Source{link.Input, Indices.at(link.Node), ""});
}

Evaluator::~Evaluator() = default;

std::optional<size_t> Evaluator::NodeIndex(const std::string& name) const
{
	const auto found = Indices.find(name);
	return found == Indices.end() ? std::nullopt : std::optional<size_t>(found->second);
}

void Evaluator::HashAt(int frame)
{
	if (frame == HashedFrame)
		return;
	Hashes.assign(Hashes.size(), std::nullopt);
	Files.clear();
	HashedFrame = frame;
}

const Evaluator::FileAtFrame& Evaluator::File(const std::string& file, int frame)
{
	HashAt(frame);
	if (const auto found = Files.find(file); found != Files.end())
		return found->second;
	if (const auto standIn = Settings.StandIns.find(file); standIn != Settings.StandIns.end())
		return Files.emplace(file, FileAtFrame{{}, standIn->second.Hash}).first->second;
	ImageSource source = ImageSource::Parse(file);
	source.Path = FramePath(source.Path, frame);
	if (Settings.ResolveFile)
		source.Path = Settings.ResolveFile(source.Path);
	HashBuilder hash;
	hash.Add("file").Add(source.Path).Add(source.Selection());
	// A file changed in place gets a new size or time of last change, and
	// with it a new hash; one that is missing fails when it is read.
	struct stat status;
	if (::stat(source.Path.c_str(), &status) == 0)
		hash.Add(int64_t(status.st_size))
			.Add(int64_t(status.st_mtim.tv_sec))
			.Add(int64_t(status.st_mtim.tv_nsec))
			.Add(int64_t(status.st_ino));
	else
		hash.Add("missing");
	return Files.emplace(file, FileAtFrame{std::move(source), hash.Finish()}).first->second;
}

ContentHash Evaluator::FileHash(const std::string& file, int frame)
{
	return File(file, frame).Hash;
}

ContentHash Evaluator::NodeHash(size_t node, int frame)
{
	HashAt(frame);
	if (Hashes[node])
		return *Hashes[node];
	const FlowNode& flowNode = Graph.Nodes[node];
	// A disabled node hands on its main input: the same picture, the same hash.
	if (const Source* passed = PassedOn(node))
		return *(Hashes[node] = passed->Node ? NodeHash(*passed->Node, frame) : FileHash(passed->File, frame));
	HashBuilder hash;
	hash.Add("node").Add(flowNode.Tool->ID().GetRawString());
	// Values at this frame: frames at which they are equal share the output.
	for (const auto& [id, value] : flowNode.Values)
	{
		hash.Add(id);
		if (value.IsNumber())
			hash.Add(value.NumberAt(frame));
		else
			hash.Add(value.TextAt(frame));
	}
	for (const Source& source : Sources[node])
		hash.Add(source.Input).Add(source.Node ? NodeHash(*source.Node, frame) : FileHash(source.File, frame));
	return *(Hashes[node] = hash.Finish());
}

NodeRenderer& Evaluator::Renderer(size_t node)
{
	if (!Renderers[node])
		Renderers[node] = std::make_unique<NodeRenderer>(Graph.Nodes[node]);
	return *Renderers[node];
}

std::string Evaluator::Where(size_t node) const
{
	return Graph.SingleTool ? "" : "flow node \"" + Excerpt(Graph.Nodes[node].Name) + "\": ";
}

SharedOutput Evaluator::ReadFile(const std::string& file, int frame)
{
	if (const auto standIn = Settings.StandIns.find(file); standIn != Settings.StandIns.end())
		return std::make_shared<const NodeOutput>(NodeOutput{standIn->second.Pixels, {}});
	const FileAtFrame& read = File(file, frame);
	return Cache.FindOrCompute(
		read.Hash, "file " + read.Source.Path + read.Source.Selection(),
		[&] { return NodeOutput{ReadPicture(read.Source), {}}; }, !Settings.Keep || Settings.Keep(read.Hash));
}

NodePictures Evaluator::Pictures(size_t node, int frame, Evaluation& evaluation)
{
	NodePictures pictures;
	for (const Source& source : Sources[node])
		pictures.emplace_back(source.Input, source.Node ? evaluation.Outputs[*source.Node]->Out
		                                                : ReadFile(source.File, frame)->Out);
	return pictures;
}

const Evaluator::Source* Evaluator::PassedOn(size_t node) const
{
	if (Graph.Nodes[node].Enabled)
		return nullptr;
	for (const Source& source : Sources[node])
		if (source.Input == Graph.Nodes[node].MainInput)
			return &source;
	return nullptr;  // refused when the flow was read
}

SharedOutput Evaluator::Output(size_t node, int frame, Evaluation& evaluation)
{
	if (const Source* passed = PassedOn(node))
		return std::make_shared<const NodeOutput>(
			NodeOutput{passed->Node ? evaluation.Outputs[*passed->Node]->Out : ReadFile(passed->File, frame)->Out, {}});
	const ContentHash hash = NodeHash(node, frame);
	const FlowNode& flowNode = Graph.Nodes[node];
	bool computed = false;
	SharedOutput output = Cache.FindOrCompute(
		hash, flowNode.Name + " at " + std::to_string(frame),
		[&] {
			NodeRenderer& renderer = Renderer(node);
			NodeOutput rendered = renderer.Render(Pictures(node, frame, evaluation), frame, Settings.Threads);
			if (!rendered.Out.Pixels)
			{
				HostError error = renderer.NoOutput(
					Where(node), Settings.MessagesNameFrame ? " at frame " + std::to_string(frame) : "");
				if (!Graph.SingleTool)
					error.Node = flowNode.Name;
				throw error;
			}
			return rendered;
		},
		!Settings.Keep || Settings.Keep(hash), &computed);
	if (computed)
		evaluation.Rendered.push_back(flowNode.Name);
	return output;
}

Evaluation Evaluator::Evaluate(const std::vector<size_t>& targets, int frame,
                               const std::optional<std::vector<size_t>>& returned)
{
	// The targets and every node they read, directly or not; nodes come
	// after the nodes they read, so one pass from the end finds them all.
	std::vector<bool> needed(Graph.Nodes.size());
	for (size_t target : targets)
		needed.at(target) = true;
	for (size_t n = Graph.Nodes.size(); n-- > 0;)
		if (needed[n])
			for (const Source& source : Sources[n])
				if (source.Node)
					needed[*source.Node] = true;

	// An output not asked for goes once its last reader has rendered: a long
	// chain then holds two frames at a time, whose memory the next outputs reuse.
	std::vector<bool> kept(Graph.Nodes.size());
	for (size_t node : returned ? *returned : targets)
		kept.at(node) = true;
	std::vector<int> readers(Graph.Nodes.size());
	for (size_t n = 0; n < Graph.Nodes.size(); ++n)
		if (needed[n])
			for (const Source& source : Sources[n])
				if (source.Node)
					++readers[*source.Node];

	Evaluation evaluation;
	evaluation.Outputs.resize(Graph.Nodes.size());
	evaluation.Readouts.resize(Graph.Nodes.size());
	for (size_t n = 0; n < Graph.Nodes.size(); ++n)
		if (needed[n])
		{
			evaluation.Outputs[n] = Output(n, frame, evaluation);
			evaluation.Readouts[n] = evaluation.Outputs[n]->Readouts;
			for (const Source& source : Sources[n])
				if (source.Node && --readers[*source.Node] == 0 && !kept[*source.Node])
					evaluation.Outputs[*source.Node].reset();
			if (readers[n] == 0 && !kept[n])
				evaluation.Outputs[n].reset();
		}
	return evaluation;
}

Picture Evaluator::InputPicture(size_t node, const std::string& input, int frame, Evaluation* evaluated)
{
	NodeRenderer& renderer = Renderer(node);
	renderer.Session().FindImageInput(input);
	std::vector<size_t> sources;
	for (const Source& source : Sources[node])
		if (source.Node)
			sources.push_back(*source.Node);
	Evaluation evaluation = Evaluate(sources, frame);
	const NodePictures pictures = renderer.LineUpInputs(Pictures(node, frame, evaluation));
	if (evaluated)
		*evaluated = std::move(evaluation);
	for (const auto& [id, picture] : pictures)
		if (id == input)
			return picture;
	HostError error(ErrorKind::Usage, "flow node \"" + Excerpt(Graph.Nodes[node].Name) + "\" input \"" +
	                                      Excerpt(input) + "\" is not connected");
	error.Node = Graph.Nodes[node].Name;
	error.Input = input;
	throw error;
}

bool Evaluator::SplitsIntoChunks() const
{
	for (const auto& renderer : Renderers)
		if (renderer)
			if (auto* tool = dynamic_cast<const ThreadedOperator*>(&renderer->Session().Tool());
			    tool && tool->SplitsIntoChunks())
				return true;
	return false;
}
