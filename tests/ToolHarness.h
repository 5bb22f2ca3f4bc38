#pragma once
// Drives tools the way qz does, for tests: the plug-in loaded from the build,
// images made from a function of the pixel position, one request per run.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Image.h"
#include "qz/core/Error.h"
#include "qz/core/PluginHost.h"
#include "qz/core/ToolSession.h"

using ImagePtr = ImageHandle;

/// The plug-ins of the build, loaded once per test program.
PluginHost& Plugins();

/// The registered tool `name`; fails the test when there is none.
const Registry* Tool(const std::string& name);

FltPixel Pixel(float r, float g, float b, float a = 1.0f);

/// A `width` x `height` image whose pixel (x, y) is `fill(x, y)`.
ImagePtr MakeImage(int width, int height, const std::function<FltPixel(int x, int y)>& fill,
                   PixelFormat format = PixelFormat::Float, std::vector<std::string> aux = {});
/// An image of one colour.
ImagePtr MakeImage(int width, int height, const FltPixel& colour, PixelFormat format = PixelFormat::Float);

FltPixel PixelAt(const Image& image, int x, int y);

/// True when both images have the same size, format and bytes.
bool SameImage(const Image& a, const Image& b);

/// One request through tool `name`: images by input ID, numbers by input ID,
/// button choices by input ID.
RenderResult RunTool(const std::string& name, const std::map<std::string, Image*>& images,
                     const std::map<std::string, double>& numbers = {},
                     const std::map<std::string, std::string>& choices = {});

/// The read-out with this ID; fails the test when the render wrote none.
double Readout(const RenderResult& result, const std::string& id);

/// A tool's declarations, one line each: "ID|caption|Attr=value,..." with the
/// attributes in declaration order (button texts each as ButtonText=...), the
/// output last.
std::vector<std::string> Declarations(const std::string& tool);

/// The kind of the `HostError` that `action` throws, or nothing when it throws none.
std::optional<ErrorKind> ErrorKindOf(const std::function<void()>& action);
