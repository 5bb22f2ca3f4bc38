#include "qz/graph/NodeRender.h"

#include <cmath>

#include "qz/graph/Frames.h"

namespace
{
// The context of an input lined up with the main input: its own header and
// attributes over the main input's windows. Its other channels cannot follow
// the picture into the new window and stay behind.
std::shared_ptr<const FileContext> LinedUpContext(const FileContext& input, const FileContext& main)
{
	auto lined = std::make_shared<FileContext>(input);
	lined->Data = main.Data;
	lined->Carried.clear();
	return lined;
}
}

Picture ReadFileOnce(const std::string& file, int frame, std::map<std::string, Picture>& files)
{
	ImageSource source = ImageSource::Parse(file);
	source.Path = FramePath(source.Path, frame);
	Picture& cached = files[source.Path + source.Selection()];
	if (!cached.Pixels)
		cached = ReadPicture(source);
	return cached;
}

NodeRenderer::NodeRenderer(const FlowNode& node) : Tool(std::make_unique<ToolSession>(node.Tool))
{
	for (const auto& [id, value] : node.Values)
		if (!value.IsStill())
			Animated.emplace_back(id, value);
		else if (value.IsNumber())
			Tool->SetNumber(id, value.Written().get<double>());
		else
			Tool->SetValue(id, value.Written().get<std::string>());
	MainInput = Tool->MainImageInput();
}

NodePictures NodeRenderer::LineUpInputs(const NodePictures& pictures) const
{
	const FileContext* main = nullptr;
	for (const auto& [id, picture] : pictures)
		if (id == MainInput)
			main = picture.Context.get();
	NodePictures lined;
	for (const auto& [id, picture] : pictures)
	{
		SharedImage image = LineUp(picture, main);
		lined.emplace_back(id, Picture{image, image == picture.Pixels ? picture.Context
		                                                               : LinedUpContext(*picture.Context, *main)});
	}
	return lined;
}

void CheckAnimatedValues(const Flow& flow, const std::vector<int>& frames)
{
	for (const FlowNode& node : flow.Nodes)
	{
		std::unique_ptr<ToolSession> probe;
		for (const auto& [id, value] : node.Values)
		{
			if (value.IsStill() || !value.IsNumber())
				continue;
			if (!probe)
				probe = std::make_unique<ToolSession>(node.Tool);
			const std::optional<int> limit = probe->FindInput(id)->WorkLimit();
			for (int frame : frames)
			{
				const double number = value.NumberAt(frame);
				if (std::isfinite(number) && (!limit || number <= *limit))
					continue;
				const std::string where = (flow.SingleTool ? node.Tool->Name() + ": input \""
				                                           : "flow node \"" + Excerpt(node.Name) + "\" input \"") +
				                          id + "\" is " + FormatNumber(number) + " at frame " + std::to_string(frame);
				HostError error = limit ? HostError(ErrorKind::Usage, where + ", beyond its hard limit " +
				                                                          std::to_string(*limit))
				                        : HostError(ErrorKind::Render, where + ", which no tool can take");
				if (!flow.SingleTool)
					error.Node = node.Name;
				error.Input = id;
				throw error;
			}
		}
	}
}

void NodeRenderer::SetValue(const std::string& id, const AnimatedValue& value, double frame)
{
	if (!value.IsNumber())
	{
		Tool->SetValue(id, value.TextAt(frame));
		return;
	}
	const double number = value.NumberAt(frame);
	if (!std::isfinite(number))
		throw HostError(ErrorKind::Render, Tool->Name() + ": input \"" + id + "\" is " + FormatNumber(number) +
		                                       " at frame " + FormatNumber(frame) + ", which no tool can take");
	Tool->SetNumberWithinLimit(id, number);
}

NodeOutput NodeRenderer::Render(const NodePictures& pictures, double time, int threads)
{
	const NodePictures lined = LineUpInputs(pictures);
	std::shared_ptr<const FileContext> mainContext;
	for (const auto& [id, picture] : lined)
	{
		Tool->Connect(id, picture.Pixels.get());
		if (id == MainInput)
			mainContext = picture.Context;  // the main input lines up with itself: its own context
	}

	for (const auto& [id, value] : Animated)
		SetValue(id, value, time);
	RenderResult result = Tool->Render(time, threads);
	NodeOutput done{{nullptr, mainContext}, std::move(result.Readouts)};
	if (!result.Output)
		return done;  // connected still, for `NoOutput` to explain
	// The inputs are the pictures' to keep, not the tool's: a chain of nodes
	// holds only the frames it still reads.
	Tool->DisconnectAll();
	done.Out.Pixels = ShareImage(std::exchange(result.Output, nullptr));
	for (const auto& [id, picture] : lined)
		if (picture.Pixels == done.Out.Pixels)
			done.Out.Context = picture.Context;  // an input handed on as it is
	if (done.Out.Context && (done.Out.Context->Data.Width != done.Out.Pixels->Width ||
	                         done.Out.Context->Data.Height != done.Out.Pixels->Height))
		done.Out.Context = nullptr;
	return done;
}

HostError NodeRenderer::NoOutput(const std::string& where, const std::string& when) const
{
	std::string why = Tool->DescribeChoicesAndConnections();
	const std::string sizes = Tool->DifferingImageSizes();
	if (!sizes.empty())
		why = "its images differ in size: " + sizes + (why.empty() ? "" : "; " + why);
	return HostError(ErrorKind::Render,
	                 where + Tool->Name() + " set no output" + when + (why.empty() ? "" : " (" + why + ")"));
}
