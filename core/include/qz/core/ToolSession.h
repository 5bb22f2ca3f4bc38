#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Image.h"
#include "Operator.h"

/// What one render gave: the output image (null when the tool set none) and
/// the read-outs the tool wrote back to its page, in declaration order.
struct RenderResult
{
	RenderResult() = default;
	RenderResult(RenderResult&& other) noexcept;
	RenderResult& operator=(RenderResult&&) = delete;
	~RenderResult();

	Image* Output = nullptr;  // holds one use
	std::vector<std::pair<std::string, double>> Readouts;
};

/// One tool object and its input values and connections, as a host drives it.
class ToolSession
{
public:
	/// Creates a tool of kind `tool`. Throws `HostError` when its factory fails.
	explicit ToolSession(const Registry* tool);
	~ToolSession();
	ToolSession(const ToolSession&) = delete;
	ToolSession& operator=(const ToolSession&) = delete;

	Operator& Tool() { return *Op; }
	const Operator& Tool() const { return *Op; }
	std::string Name() const { return Op->GetRegistry()->Name(); }

	/// Sets an input from a user's text: a number for a Number input, any
	/// text for a button row. Throws `HostError` (usage) for an unknown ID, a
	/// label or image, or a value that is not a number, does not fit a double
	/// or lies beyond the input's hard limit. Returns a warning (or "") when
	/// the text is none of the row's buttons.
	std::string SetValue(const std::string& id, const std::string& text);
	/// Sets a number a user gave: throws `HostError` (usage) beyond the
	/// input's hard limit (`Input::WorkLimit`), before any render can start on it.
	void SetNumberWithinLimit(const std::string& id, double value);
	/// Sets any number, as a host may; the tools cope with every value.
	void SetNumber(const std::string& id, double value);

	/// Connects an image input; the session takes a use of `image`. Throws
	/// `HostError` (usage) when `id` is no image input.
	void Connect(const std::string& id, Image* image);

	/// Disconnects every image input, giving back the session's uses.
	void DisconnectAll();

	/// Connects `images` and sets `numbers` and button-row `choices`, each by
	/// input ID (warnings about texts that are no button are dropped).
	void Configure(const std::map<std::string, Image*>& images, const std::map<std::string, double>& numbers = {},
	               const std::map<std::string, std::string>& choices = {});

	/// Renders one request at `time` on at most `threads` threads (0: the
	/// process default). Throws `HostError` (render) when an image the tool
	/// needs is not connected.
	RenderResult Render(double time = 0.0, int threads = 0);

	/// The button choices and the unconnected image inputs, for explaining a
	/// render without output: "Input" is "Right", "RightImage" is not connected.
	std::string DescribeChoicesAndConnections() const;

	/// The connected images with their sizes when they are not all of one
	/// size ("Image" is 7 x 5, "Zdepth" is 3 x 2), else "": tools that need
	/// equal sizes set no output, or a cleared one, without saying why.
	std::string DifferingImageSizes() const;

	/// The input with this ID, or throws `HostError` (usage) naming the
	/// closest ID the tool has.
	Input* FindInput(const std::string& id) const;
	/// The same for an image input; throws `HostError` (usage) for other inputs.
	Input* FindImageInput(const std::string& id) const;
	/// The image input whose picture the output is made like: the main image
	/// (`MainIndex` 1), or the one image input of a tool that picks its
	/// image on its page; "" for a tool without image inputs.
	std::string MainImageInput() const;

private:
	Operator* Op;
	std::vector<std::pair<Input*, Image*>> Connections;
};

/// A number as qz prints it: shortest round-trip text, or inf, -inf, nan.
std::string FormatNumber(double value);
