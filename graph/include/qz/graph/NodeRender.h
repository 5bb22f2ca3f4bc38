#pragma once
// One node of a flow rendered once: the step every frame of `RenderFlow` and
// every preview of the studio take for each node.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"
#include "qz/graph/Flow.h"
#include "qz/io/ImageFiles.h"

using ReadoutList = std::vector<std::pair<std::string, double>>;
/// Pictures by image input ID.
using NodePictures = std::vector<std::pair<std::string, Picture>>;

/// What a node's render gave: its output picture, which keeps the context of
/// its main input (null pixels when the tool set none), and its read-outs.
struct NodeOutput
{
	Picture Out;
	ReadoutList Readouts;
};

/// The picture a flow's "file" link gives at `frame` (a frame of a
/// sequence), read once however many nodes take it: `files` keeps what a
/// render has read, by file and selection.
Picture ReadFileOnce(const std::string& file, int frame, std::map<std::string, Picture>& files);

/// Checks every animated number of `flow` at every frame of `frames`, before
/// anything renders: beyond its input's hard limit is a usage error, an
/// expression that gives inf or NaN a render error, each naming the node,
/// the input and the frame.
void CheckAnimatedValues(const Flow& flow, const std::vector<int>& frames);

/// A node's tool, its values set, ready to render the pictures it reads.
class NodeRenderer
{
public:
	/// Creates the node's tool and sets its values (checked by `ParseFlow`);
	/// animated values are set at each render's time.
	explicit NodeRenderer(const FlowNode& node);

	/// The pictures as the tool sees them: each lined up with the main input
	/// (`LineUp`); a lined-up picture keeps its own header over the main
	/// input's windows, without the channels that cannot follow it.
	NodePictures LineUpInputs(const NodePictures& pictures) const;

	/// Connects `pictures` (by input ID, as read from files or other nodes),
	/// lined up, and renders at `time` on at most `threads` threads (0: the
	/// process default).
	NodeOutput Render(const NodePictures& pictures, double time, int threads = 0);

	/// The error for the last render, when it set no output (the inputs then
	/// stay connected until the next render): `where` names the node,
	/// `when` the frame; it says which image sizes differ, if any, and how
	/// the tool is set and connected.
	HostError NoOutput(const std::string& where, const std::string& when) const;

	ToolSession& Session() { return *Tool; }
	const ToolSession& Session() const { return *Tool; }

private:
	/// Sets input `id` to `value` at `frame`: a render error when an
	/// expression gives no finite number there.
	void SetValue(const std::string& id, const AnimatedValue& value, double frame);

	std::unique_ptr<ToolSession> Tool;
	std::string MainInput;
	std::vector<std::pair<std::string, AnimatedValue>> Animated;  // set again at every render
};
