#include "qz/core/ToolSession.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "qz/core/Error.h"

RenderResult::RenderResult(RenderResult&& other) noexcept
	: Output(std::exchange(other.Output, nullptr)), Readouts(std::move(other.Readouts))
{
}

RenderResult::~RenderResult()
{
	if (Output)
		Output->Recycle();
}

ToolSession::ToolSession(const Registry* tool) : Op(dynamic_cast<Operator*>(tool->Create(ScriptVal(), TagList())))
{
	if (!Op)
		throw HostError(ErrorKind::Render, "cannot create tool " + tool->Name());
}

ToolSession::~ToolSession()
{
	for (auto& [input, image] : Connections)
		image->Recycle();
	delete Op;
}

static size_t EditDistance(const std::string& a, const std::string& b)
{
	std::vector<size_t> row(b.size() + 1);
	for (size_t j = 0; j <= b.size(); ++j)
		row[j] = j;
	for (size_t i = 1; i <= a.size(); ++i)
	{
		size_t diagonal = row[0];
		row[0] = i;
		for (size_t j = 1; j <= b.size(); ++j)
		{
			const size_t substitute = diagonal + (std::tolower(a[i - 1]) == std::tolower(b[j - 1]) ? 0 : 1);
			diagonal = row[j];
			row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitute});
		}
	}
	return row[b.size()];
}

Input* ToolSession::FindInput(const std::string& id) const
{
	if (Input* input = Op->FindInput(id))
		return input;
	std::string closest;
	size_t best = SIZE_MAX;
	for (const auto& input : Op->Inputs())
	{
		const size_t distance = EditDistance(id, input->ID().GetRawString());
		if (distance < best)
		{
			best = distance;
			closest = input->ID().GetRawString();
		}
	}
	std::string message = Name() + " has no input \"" + Excerpt(id) + "\"";
	if (!closest.empty())
		message += " (did you mean \"" + closest + "\"?)";
	throw HostError(ErrorKind::Usage, message);
}

enum class NumberText
{
	Fits,
	NotANumber,
	OutOfRange,
};

// All of `text` read as strtod reads it. A number beyond a double's range
// would read as inf, and a non-zero one below it as 0: neither is what was
// written, so both are refused. Subnormals fit, and "inf" written out is inf.
static NumberText ParseNumber(const std::string& text, double& value)
{
	if (text.empty())
		return NumberText::NotANumber;
	char* end = nullptr;
	errno = 0;
	value = std::strtod(text.c_str(), &end);
	if (end != text.c_str() + text.size())
		return NumberText::NotANumber;
	if (errno == ERANGE && (std::isinf(value) || value == 0.0))
		return NumberText::OutOfRange;
	return NumberText::Fits;
}

std::string ToolSession::SetValue(const std::string& id, const std::string& text)
{
	Input* input = FindInput(id);
	if (input->IsNumber())
	{
		double value;
		switch (ParseNumber(text, value))
		{
		case NumberText::NotANumber:
			throw HostError(ErrorKind::Usage, Name() + ": input \"" + id + "\" takes a number, not \"" + Excerpt(text) + "\"");
		case NumberText::OutOfRange:
			throw HostError(ErrorKind::Usage, Name() + ": input \"" + id + "\": " + Excerpt(text) + " does not fit a double");
		case NumberText::Fits: SetNumberWithinLimit(id, value); break;
		}
		return "";
	}
	if (input->IsButtonRow())
	{
		FuIDParam* choice = new FuIDParam(FuID(text.c_str()));
		input->SetSource(choice, 1, nullptr, 0.0);
		choice->Recycle();
		const std::vector<std::string> buttons = input->Attributes().GetTexts(Attr::ButtonText);
		if (std::find(buttons.begin(), buttons.end(), text) != buttons.end())
			return "";
		std::string list;
		for (const std::string& button : buttons)
			list += (list.empty() ? "\"" : ", \"") + button + "\"";
		return Name() + ": \"" + Excerpt(text) + "\" is none of the buttons of input \"" + id + "\" (" + list + ")";
	}
	throw HostError(ErrorKind::Usage, Name() + ": input \"" + id + "\" takes no value" +
	                               (input->IsImage() ? " (it is an image: use -i)" : ""));
}

void ToolSession::SetNumberWithinLimit(const std::string& id, double value)
{
	if (const std::optional<int> limit = FindInput(id)->WorkLimit())
		if (!(std::isfinite(value) && value <= *limit))
			throw HostError(ErrorKind::Usage, Name() + ": input \"" + id + "\" must be finite and at most " +
			                               std::to_string(*limit) + " (its hard limit), not " + FormatNumber(value));
	SetNumber(id, value);
}

void ToolSession::SetNumber(const std::string& id, double value)
{
	Input* input = FindInput(id);
	if (!input->IsNumber())
		throw HostError(ErrorKind::Usage, Name() + ": input \"" + id + "\" is not a number");
	Number* number = new Number(value);
	input->SetSource(number, 1, nullptr, 0.0);
	number->Recycle();
}

std::string ToolSession::MainImageInput() const
{
	std::string first;
	for (const auto& input : Op->Inputs())
		if (input->IsImage())
		{
			if (input->Attributes().GetInt(Attr::MainIndex) == 1)
				return input->ID().GetRawString();
			if (first.empty())
				first = input->ID().GetRawString();
		}
	return first;
}

Input* ToolSession::FindImageInput(const std::string& id) const
{
	Input* input = FindInput(id);
	if (!input->IsImage())
		throw HostError(ErrorKind::Usage, Name() + ": input \"" + id + "\" is not an image input");
	return input;
}

void ToolSession::Connect(const std::string& id, Image* image)
{
	Input* input = FindImageInput(id);
	image->Use();
	for (auto& [connected, old] : Connections)
		if (connected == input)
		{
			old->Recycle();
			old = image;
			return;
		}
	Connections.emplace_back(input, image);
}

void ToolSession::DisconnectAll()
{
	for (auto& [input, image] : Connections)
		image->Recycle();
	Connections.clear();
}

void ToolSession::Configure(const std::map<std::string, Image*>& images, const std::map<std::string, double>& numbers,
                            const std::map<std::string, std::string>& choices)
{
	for (const auto& [id, image] : images)
		Connect(id, image);
	for (const auto& [id, value] : numbers)
		SetNumber(id, value);
	for (const auto& [id, text] : choices)
		SetValue(id, text);
}

RenderResult ToolSession::Render(double time, int threads)
{
	const RenderThreads bound(threads);
	Request request(time);
	for (const auto& input : Op->Inputs())
	{
		Input* in = input.get();
		if (in->IsImage())
		{
			auto it = std::find_if(Connections.begin(), Connections.end(), [&](auto& c) { return c.first == in; });
			if (it != Connections.end())
				request.SetInputData(in, it->second);
			else if (in->MustBeConnected())
				throw HostError(ErrorKind::Render, Name() + ": required input \"" +
				                                      std::string(in->ID().GetRawString()) + "\" is not connected");
		}
		else if (in->GetSource())
			request.SetInputData(in, in->GetSource());
	}

	std::vector<unsigned long long> changes;
	for (const auto& input : Op->Inputs())
		changes.push_back(input->SourceChanges());

	ImagesOfRender made;
	try
	{
		Op->Process(&request);
	}
	catch (const RenderRefused& e)
	{
		made.RecycleUnclaimed();
		throw HostError(ErrorKind::Render, Name() + ": " + e.what());
	}
	catch (...)
	{
		made.RecycleUnclaimed();
		throw;
	}

	RenderResult result;
	for (size_t i = 0; i < Op->Inputs().size(); ++i)
	{
		Input* in = Op->Inputs()[i].get();
		if (in->SourceChanges() != changes[i] && in->IsNumber())
			result.Readouts.emplace_back(in->ID().GetRawString(), *static_cast<Number*>(in->GetSource()));
	}
	if (!Op->Outputs().empty())
		if (Image* output = dynamic_cast<Image*>(request.GetOutputData(Op->Outputs().front().get())))
		{
			output->Use();
			result.Output = output;
		}
	return result;
}

std::string ToolSession::DescribeChoicesAndConnections() const
{
	std::string text;
	auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
	for (const auto& input : Op->Inputs())
	{
		const std::string id = input->ID().GetRawString();
		if (input->IsButtonRow())
			add("\"" + id + "\" is \"" + FuID(*static_cast<FuIDParam*>(input->GetSource())).GetRawString() + "\"");
		else if (input->IsImage() &&
		         std::none_of(Connections.begin(), Connections.end(), [&](auto& c) { return c.first == input.get(); }))
			add("\"" + id + "\" is not connected");
	}
	return text;
}

std::string ToolSession::DifferingImageSizes() const
{
	std::string text;
	bool differ = false;
	const Image* first = nullptr;
	for (const auto& input : Op->Inputs())
	{
		auto it = std::find_if(Connections.begin(), Connections.end(), [&](auto& c) { return c.first == input.get(); });
		if (it == Connections.end())
			continue;
		const Image& image = *it->second;
		if (!first)
			first = &image;
		differ = differ || image.Width != first->Width || image.Height != first->Height;
		text += (text.empty() ? "\"" : ", \"") + std::string(input->ID().GetRawString()) + "\" is " +
		        std::to_string(image.Width) + " x " + std::to_string(image.Height);
	}
	return differ ? text : "";
}

std::string FormatNumber(double value)
{
	if (std::isnan(value))
		return "nan";
	if (std::isinf(value))
		return value > 0 ? "inf" : "-inf";
	char text[64];
	auto [end, ec] = std::to_chars(text, text + sizeof text, value);
	return std::string(text, end);
}
