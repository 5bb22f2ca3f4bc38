#pragma once
#include <map>
#include <vector>
#include <ostream>
#include <string>

#include "DemoScene.h"
#include "qz/core/PluginHost.h"
#include "qz/core/ToolSession.h"

/// What a demo stage works with: the scene's passes, the tools, where to
/// write and where to report.
class DemoContext
{
	const PluginHost& Host;
	std::string OutDir;

public:
	DemoContext(const PluginHost& host, const DemoScene& scene, std::string outDir, std::ostream& out,
	            WarningSink warn)
		: Host(host), OutDir(std::move(outDir)), Scene(scene), Out(out), Warn(std::move(warn))
	{
	}

	const DemoScene& Scene;
	std::ostream& Out;
	WarningSink Warn;

	/// Renders one request through `tool`. Throws `HostError` when the tool is
	/// not registered or sets no output.
	RenderResult Render(const std::string& tool, const std::map<std::string, Image*>& images,
	                    const std::map<std::string, double>& numbers = {},
	                    const std::map<std::string, std::string>& choices = {}) const;

	/// Writes `image` as `name` in the output folder and reports it. EXR
	/// files also go on the contact sheet, labelled with their name.
	void Save(Image& image, const std::string& name) const;

	/// Writes contact_sheet.png: every EXR saved so far, labelled.
	void WriteSheet() const;

private:
	mutable std::vector<std::pair<std::string, ImageHandle>> Sheet;
};

/// Stages of the demo, one per family of tools, in the order they run.
void DemoDepthTools(const DemoContext& demo);
void DemoRelight(const DemoContext& demo);
void DemoUV(const DemoContext& demo);
void DemoDepthBlur(const DemoContext& demo);
void DemoUtility(const DemoContext& demo);
