#include "ToolHarness.h"

#include <gtest/gtest.h>

#include <cstring>

#include "qz/io/ImageFill.h"

PluginHost& Plugins()
{
	static PluginHost host({QZ_BIN_DIR});
	return host;
}

const Registry* Tool(const std::string& name)
{
	const Registry* tool = Plugins().FindTool(name);
	EXPECT_NE(tool, nullptr) << "no tool " << name;
	return tool;
}

FltPixel Pixel(float r, float g, float b, float a)
{
	return PixelOf(r, g, b, a);
}

ImagePtr MakeImage(int width, int height, const std::function<FltPixel(int, int)>& fill, PixelFormat format,
                   std::vector<std::string> aux)
{
	ImagePtr image(new Image(width, height, format, std::move(aux)));
	FillImage(*image, fill);
	return image;
}

ImagePtr MakeImage(int width, int height, const FltPixel& colour, PixelFormat format)
{
	return MakeImage(width, height, [&](int, int) { return colour; }, format);
}

FltPixel PixelAt(const Image& image, int x, int y)
{
	FltPixel pixel;
	PixPtr(const_cast<Image*>(&image)).GetPixel(x, y, pixel);
	return pixel;
}

bool SameImage(const Image& a, const Image& b)
{
	return a.Width == b.Width && a.Height == b.Height && a.Format() == b.Format() &&
	       a.AuxChannels() == b.AuxChannels() &&
	       (a.PixelCount() == 0 || std::memcmp(a.Data(), b.Data(), a.PixelCount() * a.PixelBytes()) == 0);
}

RenderResult RunTool(const std::string& name, const std::map<std::string, Image*>& images,
                     const std::map<std::string, double>& numbers, const std::map<std::string, std::string>& choices)
{
	ToolSession session(Tool(name));
	session.Configure(images, numbers, choices);
	return session.Render();
}

double Readout(const RenderResult& result, const std::string& id)
{
	for (const auto& [readout, value] : result.Readouts)
		if (readout == id)
			return value;
	ADD_FAILURE() << "no read-out " << id;
	return 0.0;
}

static std::string DescribeDeclaration(const FuID& id, const FuID& caption, const TagStore& attrs)
{
	std::string line = std::string(id.GetRawString()) + "|" + caption.GetRawString() + "|";
	bool first = true;
	for (const TagStore::Entry& e : attrs.Entries())
	{
		line += first ? "" : ",";
		first = false;
		line += Attr::NameOf(e.Code) ? Attr::NameOf(e.Code) : "?";
		line += "=";
		switch (Attr::TypeOf(e.Code))
		{
		case Attr::ValueType::Double: line += FormatNumber(TagToDouble(e.Value)); break;
		case Attr::ValueType::String:
		case Attr::ValueType::Id: line += e.Text; break;
		default: line += std::to_string(static_cast<long long>(e.Value)); break;
		}
	}
	return line;
}

std::vector<std::string> Declarations(const std::string& name)
{
	ToolSession session(Tool(name));
	std::vector<std::string> lines;
	for (const auto& input : session.Tool().Inputs())
		lines.push_back(DescribeDeclaration(input->ID(), input->Caption(), input->Attributes()));
	for (const auto& output : session.Tool().Outputs())
		lines.push_back(DescribeDeclaration(output->ID(), output->Caption(), output->Attributes()));
	return lines;
}

std::optional<ErrorKind> ErrorKindOf(const std::function<void()>& action)
{
	try
	{
		action();
	}
	catch (const HostError& e)
	{
		return e.Kind;
	}
	return std::nullopt;
}
