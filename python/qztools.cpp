// qztools: the registered tools on NumPy arrays, through the same host code
// as qz. Arrays are float32 (height, width, 4), RGBA, row 0 at the top.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Image.h"
#include "Operator.h"
#include "WorkerPool.h"
#include "qz/colour/ColourConfig.h"
#include "qz/core/Describe.h"
#include "qz/core/Error.h"
#include "qz/core/PluginHost.h"
#include "qz/core/ToolSession.h"
#include "qz/graph/Animation.h"
#include "qz/graph/Evaluator.h"
#include "qz/graph/Flow.h"
#include "qz/graph/FlowRender.h"
#include "qz/graph/Frames.h"

namespace py = pybind11;

namespace
{
/// The plug-in folder of the build, then the colon-separated folders of
/// QZ_PLUGIN_PATH.
std::vector<std::string> PluginDirectories()
{
	std::vector<std::string> directories{QZ_PLUGIN_DIR};
	if (const char* path = std::getenv("QZ_PLUGIN_PATH"))
	{
		std::stringstream list(path);
		std::string directory;
		while (std::getline(list, directory, ':'))
			directories.push_back(directory);
	}
	return directories;
}

/// Loaded on first use and kept for the life of the process: unloading the
/// plug-in while Python still tears down objects gains nothing.
const PluginHost& Host()
{
	static const PluginHost* host = new PluginHost(PluginDirectories());
	return *host;
}

void Warn(const std::string& warning)
{
	py::module_::import("warnings").attr("warn")(warning);
}

py::object JsonToPython(const nlohmann::ordered_json& json)
{
	return py::module_::import("json").attr("loads")(json.dump());
}

const Registry* FindToolOrFail(const std::string& name)
{
	const Registry* tool = Host().FindTool(name);
	if (!tool)
		throw HostError(ErrorKind::Usage, "unknown tool \"" + name + "\" (qz list shows the tools)");
	return tool;
}

/// A host image from a float32 (height, width, 4) RGBA array, rows turned to
/// the host's bottom-up order; from `(array, colour space)`, its R, G and B
/// converted from that space to scene_linear, as `:colorspace=` does.
ImageHandle ImageFromArray(const std::string& id, const py::handle& object)
{
	if (py::isinstance<py::tuple>(object) && py::len(object) == 2 && py::isinstance<py::str>(object[py::int_(1)]))
	{
		ImageHandle image = ImageFromArray(id, object[py::int_(0)]);
		ConvertColours(*image, ColourSpaceNamed(object[py::int_(1)].cast<std::string>()), SceneLinearSpace());
		return image;
	}
	const std::string expected = "image \"" + id + "\" must be a float32 array of shape (height, width, 4)";
	if (!py::isinstance<py::array>(object))
		throw HostError(ErrorKind::Usage, expected + ", not " + std::string(py::str(py::type::of(object).attr("__name__"))));
	const py::array array = py::reinterpret_borrow<py::array>(object);
	if (!array.dtype().is(py::dtype::of<float>()))
		throw HostError(ErrorKind::Usage, expected + ", not " + std::string(py::str(array.dtype())));
	if (array.ndim() != 3 || array.shape(2) != 4)
		throw HostError(ErrorKind::Usage, expected + ", not shape " + std::string(py::str(py::getattr(array, "shape"))));
	if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX)
		throw HostError(ErrorKind::Usage, "image \"" + id + "\" is too large");

	const auto pixels = py::array_t<float>(array).unchecked<3>();
	const int height = static_cast<int>(array.shape(0)), width = static_cast<int>(array.shape(1));
	ImageHandle image(new Image(width, height, PixelFormat::Float));
	for (int row = 0; row < height; ++row)
	{
		const py::ssize_t arrayRow = height - 1 - row;
		for (int x = 0; x < width; ++x)
		{
			FltPixel pixel;
			pixel.R = pixels(arrayRow, x, 0);
			pixel.G = pixels(arrayRow, x, 1);
			pixel.B = pixels(arrayRow, x, 2);
			pixel.A = pixels(arrayRow, x, 3);
			image->WritePixel(static_cast<size_t>(row) * width + x, pixel);
		}
	}
	return image;
}

/// The RGBA of a host image as a float32 (height, width, 4) array, top row first.
py::array_t<float> ArrayFromImage(const Image& image)
{
	const int height = image.Height, width = image.Width;
	py::array_t<float> array({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width), py::ssize_t{4}});
	auto pixels = array.mutable_unchecked<3>();
	for (int row = 0; row < height; ++row)
	{
		const py::ssize_t arrayRow = height - 1 - row;
		for (int x = 0; x < width; ++x)
		{
			FltPixel pixel;
			image.ReadPixel(static_cast<size_t>(row) * width + x, pixel);
			pixels(arrayRow, x, 0) = pixel.R;
			pixels(arrayRow, x, 1) = pixel.G;
			pixels(arrayRow, x, 2) = pixel.B;
			pixels(arrayRow, x, 3) = pixel.A;
		}
	}
	return array;
}

/// Sets one input from a Python value at `frame`: numbers as numbers, text
/// as qz's -s takes it, a dict of keys or an expression as a flow file holds
/// it; warns when a text is none of a button row's buttons.
void SetValue(ToolSession& session, const std::string& id, const py::handle& value, double frame)
{
	if (py::isinstance<py::dict>(value))
	{
		const bool isNumber = session.FindInput(id)->IsNumber();
		if (!isNumber && !session.FindInput(id)->IsButtonRow())
			throw HostError(ErrorKind::Usage, session.Name() + ": input \"" + id + "\" takes no keys or expression");
		const nlohmann::json written =
			nlohmann::json::parse(py::module_::import("json").attr("dumps")(value).cast<std::string>());
		AnimatedValue animated;
		try
		{
			animated = AnimatedValue::Read(written, isNumber, DefaultFps);
		}
		catch (const HostError& e)
		{
			throw HostError(ErrorKind::Usage, session.Name() + ": input \"" + id + "\": " + e.what());
		}
		if (!isNumber)
			return SetValue(session, id, py::str(animated.TextAt(frame)), frame);
		const double number = animated.NumberAt(frame);
		if (!std::isfinite(number) && !session.FindInput(id)->WorkLimit())
			throw HostError(ErrorKind::Render, session.Name() + ": input \"" + id + "\" is " + FormatNumber(number) +
			                                       " at frame " + FormatNumber(frame) + ", which no tool can take");
		return session.SetNumberWithinLimit(id, number);
	}
	if (py::isinstance<py::str>(value))
	{
		const std::string warning = session.SetValue(id, value.cast<std::string>());
		if (!warning.empty())
			Warn(warning);
		return;
	}
	// A NumPy scalar (arr.max(), a float32 or int64 element) is the Python
	// number it holds; booleans are numbers, as check boxes take 0 and 1.
	const py::module_ numpy = py::module_::import("numpy");
	if (py::isinstance(value, numpy.attr("number")) || py::isinstance(value, numpy.attr("bool_")))
		return SetValue(session, id, value.attr("item")(), frame);
	if (py::isinstance<py::bool_>(value))
		return SetValue(session, id, py::int_(value.cast<bool>() ? 1 : 0), frame);
	if (!(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)))
		throw HostError(ErrorKind::Usage, session.Name() + ": input \"" + id + "\" takes a number or a button text, not " +
		                               std::string(py::str(py::repr(value))));
	// Whole numbers go as qz takes their text: one too large for a double is refused.
	if (py::isinstance<py::int_>(value))
		return SetValue(session, id, py::str(value), frame);
	const double number = value.cast<double>();
	if (session.FindInput(id)->IsNumber())
		session.SetNumberWithinLimit(id, number);
	else
		SetValue(session, id, py::str(FormatNumber(number)), frame);
}

/// Runs `render` off the interpreter's thread with the GIL released, so that
/// Ctrl+C is seen while it runs, as between two Python statements: the
/// render is cancelled between its chunks and KeyboardInterrupt raised once
/// it has stopped. Python runs its signal handlers on the main thread only;
/// there, `PyErr_CheckSignals` runs them every 50 ms.
template <class Render>
auto RenderInterruptibly(const Render& render)
{
	std::atomic<bool> cancelled{false};
	py::gil_scoped_release released;
	auto result = std::async(std::launch::async, [&] {
		const RenderCancel cancel(&cancelled);
		return render();
	});
	while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
	{
		const py::gil_scoped_acquire held;
		if (PyErr_CheckSignals() != 0)
		{
			cancelled = true;
			{
				const py::gil_scoped_release waiting;
				result.wait();
			}
			throw py::error_already_set();
		}
	}
	return result.get();
}

/// An output as an array, its R, G and B converted from scene_linear to
/// `space` first unless it is "", as a save's "colorspace" does.
py::array_t<float> OutputArray(const Image& image, const std::string& space)
{
	if (space.empty())
		return ArrayFromImage(image);
	ImageHandle converted = PlainFloatCopy(image);
	ConvertColours(*converted, SceneLinearSpace(), ColourSpaceNamed(space));
	return ArrayFromImage(*converted);
}

py::tuple Run(const std::string& name, const py::dict& images, int threads, double frame,
              const std::string& colorspace, const py::kwargs& values)
{
	if (threads < 0)
		throw HostError(ErrorKind::Usage, "threads must be 0 (all) or more, not " + std::to_string(threads));
	ToolSession session(FindToolOrFail(name));
	for (const auto& [id, value] : values)
		SetValue(session, py::str(id), value, frame);
	for (const auto& [key, array] : images)
	{
		if (!py::isinstance<py::str>(key))
			throw HostError(ErrorKind::Usage, "image IDs must be texts, not " + std::string(py::str(py::repr(key))));
		const std::string id = py::str(key);
		session.FindImageInput(id);
		ImageHandle image = ImageFromArray(id, array);
		session.Connect(id, image.get());
	}

	RenderResult result = RenderInterruptibly([&] { return session.Render(frame, threads); });

	py::dict readouts;
	for (const auto& [id, value] : result.Readouts)
		readouts[py::str(id)] = value;
	if (!result.Output)
	{
		// Images of different sizes are a caller's mistake, which None would
		// only show later, far from its cause; a tool that has nothing to
		// hand on (a stereo switch on an unconnected eye) gives None.
		const std::string sizes = session.DifferingImageSizes();
		if (!sizes.empty())
			throw HostError(ErrorKind::Render,
			                session.Name() + " set no output: its images differ in size (" + sizes + ")");
		return py::make_tuple(py::none(), readouts);
	}
	return py::make_tuple(OutputArray(*result.Output, colorspace), readouts);
}

/// The outputs of one process's flows, kept between calls as the studio
/// keeps them between edits.
OutputCache& FlowCache()
{
	static OutputCache* cache = new OutputCache(size_t(1) << 30);
	return *cache;
}

/// The folder a flow's relative files are taken from: its file's, or for a
/// dict the current one.
std::string FlowFolder(const py::object& flow)
{
	return py::isinstance<py::str>(flow) ? std::filesystem::path(flow.cast<std::string>()).parent_path().string()
	                                     : std::filesystem::current_path().string();
}

/// A flow from a path or from a dict.
Flow ReadFlow(const py::object& flow)
{
	if (py::isinstance<py::str>(flow))
		return LoadFlow(Host(), flow.cast<std::string>(), Warn);
	if (!py::isinstance<py::dict>(flow))
		throw HostError(ErrorKind::Usage, "flow must be a path or a dict, not " +
		                                      std::string(py::str(py::type::of(flow).attr("__name__"))));
	std::istringstream text(py::module_::import("json").attr("dumps")(flow).cast<std::string>());
	return ParseFlow(Host(), ReadFlowDocument(text, "(dict)"), FlowFolder(flow), Warn);
}

py::tuple RunFlow(const py::object& flowObject, const std::optional<int>& frame, const py::dict& images, int threads)
{
	if (threads < 0)
		throw HostError(ErrorKind::Usage, "threads must be 0 (all) or more, not " + std::to_string(threads));
	const Flow parsed = ReadFlow(flowObject);
	const std::string baseDir = FlowFolder(flowObject);
	EvaluatorSettings settings;
	settings.Threads = threads;
	std::vector<std::string> files;
	for (const FlowNode& node : parsed.Nodes)
		for (const FlowLink& link : node.Links)
			if (!link.File.empty())
				files.push_back(link.File);
	for (const auto& [key, array] : images)
	{
		if (!py::isinstance<py::str>(key))
			throw HostError(ErrorKind::Usage, "images are keyed by a flow's file, not " + std::string(py::str(py::repr(key))));
		const std::string file = ResolveFlowFile(baseDir, py::str(key));
		if (std::find(files.begin(), files.end(), file) == files.end())
			throw HostError(ErrorKind::Usage, "no node of the flow reads the file \"" + std::string(py::str(key)) + "\"");
		const SharedImage image = ShareImage(ImageFromArray(py::str(key), array).release());
		settings.StandIns[file] = {{image, nullptr}, HashOfPixels(*image)};
	}
	std::vector<std::string> read;  // the files read from disk, without what each takes of them
	for (const std::string& file : files)
		if (!settings.StandIns.count(file))
			read.push_back(ImageSource::Parse(file).Path);
	const bool sequences = std::any_of(read.begin(), read.end(), IsSequencePath);
	const int at = frame ? *frame : sequences ? FramesToRender("", "", read).front() : 0;
	const std::optional<Flow> rated = WithMainInputRate(parsed, at);
	const Flow& flow = rated ? *rated : parsed;
	std::vector<size_t> targets;
	Evaluator evaluator(flow, FlowCache(), settings);
	for (const FlowSave& save : flow.Saves)
		targets.push_back(*evaluator.NodeIndex(save.Node));
	if (targets.empty())
		throw HostError(ErrorKind::Usage, "the flow saves no node: its \"save\" names the nodes to return");

	const Evaluation evaluation = RenderInterruptibly([&] { return evaluator.Evaluate(targets, at); });
	py::dict outputs, readouts;
	for (size_t n : targets)
	{
		std::string space;
		for (const FlowSave& save : flow.Saves)
			if (save.Node == flow.Nodes[n].Name)
				space = save.ColorSpace;
		outputs[py::str(flow.Nodes[n].Name)] = OutputArray(*evaluation.Outputs[n]->Out.Pixels, space);
	}
	for (size_t n = 0; n < flow.Nodes.size(); ++n)
		if (!evaluation.Readouts[n].empty())
		{
			py::dict values;
			for (const auto& [id, value] : evaluation.Readouts[n])
				values[py::str(id)] = value;
			readouts[py::str(flow.Nodes[n].Name)] = values;
		}
	return py::make_tuple(outputs, readouts);
}
}

PYBIND11_MODULE(qztools, module)
{
	module.doc() = "The QZ tools on NumPy arrays: float32 (height, width, 4) RGBA, row 0 at the top.";
	py::register_exception_translator(
		[](std::exception_ptr failure)
		{
			try
			{
				if (failure)
					std::rethrow_exception(failure);
			}
			catch (const HostError& e)
			{
				PyErr_SetString(PyExc_ValueError, Escaped(e.what()).c_str());
			}
		});

	module.def(
		"tools", [] { return JsonToPython(DescribeTools(Host())); },
		"The registered tools in registration order, as `qz list --json` gives them.");
	module.def(
		"info", [](const std::string& name) { return JsonToPython(DescribeTool(Host(), FindToolOrFail(name))); },
		py::arg("name"), "A tool's page, as `qz info --json` gives it.");
	module.def("run", &Run, py::arg("name"), py::arg("images") = py::dict(), py::arg("threads") = 0,
	           py::arg("frame") = 0.0, py::arg("colorspace") = "",
	           "Renders one request of tool `name` at `frame`: `images` maps image input IDs to float32 (height, "
	           "width, 4) RGBA arrays (row 0 at the top), or to (array, colour space) to convert an array to "
	           "scene_linear first; other keyword arguments set inputs by ID (numbers, button texts, or dicts of "
	           "keys or an expression as a flow file holds them, taken at `frame`). `colorspace` converts the "
	           "output from scene_linear. Returns (output array or None, dict of read-outs).");
	module.def("set_config", &UseColourConfig, py::arg("path"),
	           "Makes the OpenColorIO configuration at `path` the one every conversion uses (\"\": $OCIO, else "
	           "qz's default), as qz --ocio does; it is read at its first use.");
	module.def(
		"default_threads", [] { return GetDefaultThreadCount(); },
		"The threads a render takes when it is given threads=0: one per core.");
	module.def("flow", &RunFlow, py::arg("flow"), py::arg("frame") = py::none(), py::arg("images") = py::dict(),
	           py::arg("threads") = 0,
	           "Renders a flow, given as a path or as a dict, at `frame` (default: the first on disk of its "
	           "sequences, else 0) through the evaluator qz flow and the studio use. `images` maps files of the "
	           "flow (as its links name them) to float32 (height, width, 4) RGBA arrays, or (array, colour space), "
	           "that stand in for them. Writes nothing; returns (dict of the saved nodes' output arrays, converted "
	           "as their saves' \"colorspace\" says, dict of read-outs by node).");
}
