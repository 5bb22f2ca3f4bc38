#pragma once
// Flows: several tools wired together, read from a JSON file.
//
//   {
//     "nodes": {
//       "remap":  {"tool": "ZRemapper", "values": {"PlaneOfFocus": 9.1},
//                  "inputs": {"Input": {"file": "depth.####.exr"}}},
//       "divide": {"tool": "ZDevider", "values": {"Zmax": 10},
//                  "inputs": {"Input": {"node": "remap"}}}
//     },
//     "save": [{"node": "divide", "file": "defocus.####.exr"}]
//   }
//
// Values are numbers for number inputs and button texts for button rows, or
// keys or expressions that animate them (see Animation.h); "fps" is what an
// expression's `time` counts in (else the main input's rate, else 24). A node with "enabled": false is
// bypassed. "studio" members, at the top and on nodes, hold the studio's
// layout (positions, backdrops, notes) and are kept but not read here. Relative file paths are taken from the flow file's folder.
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qz/core/Error.h"
#include "qz/core/PluginHost.h"
#include "qz/graph/Animation.h"
#include "qz/io/ImageFiles.h"

struct FlowLink
{
	std::string Input;  // image input ID
	std::string File;   // a file or frame sequence, with what it takes (see `ImageSource`), or
	std::string Node;   // the node whose output feeds the input
};

struct FlowNode
{
	std::string Name;
	const Registry* Tool = nullptr;
	/// "enabled": false bypasses the node: its output is its main input's
	/// picture, unchanged.
	bool Enabled = true;
	std::string MainInput;  // the image input whose picture the output is made like
	std::vector<std::pair<std::string, AnimatedValue>> Values;
	std::vector<FlowLink> Links;
};

struct FlowSave
{
	std::string Node;
	std::string File;
	std::string DataType;     // "type": uint8, uint16, half, float; "" keeps the main input's
	std::string Compression;  // "compression": NAME[:LEVEL]; "" keeps the main input's
	std::string ColorSpace;   // "colorspace": R, G and B converted from scene_linear to it; "" as they are
};

/// A validated flow: nodes in an order where every node comes after the
/// nodes it reads.
struct Flow
{
	std::vector<FlowNode> Nodes;
	std::vector<FlowSave> Saves;
	double Fps = DefaultFps;
	bool FpsGiven = false;  // "fps" was set; else `WithMainInputRate` may take a file's
	/// True for the one-node flow of `qz run`: messages name the tool and
	/// the output rather than the node.
	bool SingleTool = false;
};

/// Reads and validates a flow. Every fault (malformed JSON, unknown tool,
/// unknown input ID, a value of the wrong type, an unconnected required image,
/// a link to a missing node, a cycle, a save of a missing node) is a
/// `HostError` (usage) naming the node and input concerned. A value that is
/// none of its row's buttons is reported to `warn`.
Flow LoadFlow(const PluginHost& host, const std::string& path, const WarningSink& warn = {});
/// Reads a flow's JSON text (`name` names it in errors). Malformed JSON,
/// values nested far deeper than a flow's and numbers beyond a double's range
/// are `HostError`s (usage), the last two naming the node and input they are in.
nlohmann::json ReadFlowDocument(std::istream& text, const std::string& name);
Flow ParseFlow(const PluginHost& host, const nlohmann::json& document, const std::string& baseDir,
               const WarningSink& warn = {});
/// `flow` with its expressions' `time` counted in the frame rate its main
/// input records at `frame` (the file the first node reading a file takes
/// as its main input), when the flow sets no "fps", holds an expression and
/// that file records a rate; nothing otherwise.
std::optional<Flow> WithMainInputRate(const Flow& flow, int frame);
/// A file of a flow as its links and saves name it: taken from the flow's
/// folder `baseDir` unless absolute.
std::string ResolveFlowFile(const std::string& baseDir, const std::string& file);
/// The paths of the files `flow` reads, without what each takes of them, in
/// node order.
std::vector<std::string> InputFiles(const Flow& flow);
