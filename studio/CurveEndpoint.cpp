// The curve endpoint: an input's animated value evaluated through the
// engine at many frames, so that the page draws the very curve a render
// takes its values from, and checks keys and expressions as they are typed.
#include "ServerImpl.h"

#include <cmath>

#include "qz/core/Describe.h"
#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"
#include "qz/graph/Animation.h"

using namespace studio;

namespace
{
constexpr long long MaxSamples = 4096;

double FiniteMember(const Json& body, const char* key, const char* type)
{
	const Json& number = Member(body, key, &Json::is_number, type);
	if (!std::isfinite(number.get<double>()))
		throw RequestError{400, std::string("request needs \"") + key + "\": " + type};
	return number.get<double>();
}
}

StudioServer::Impl::Answer StudioServer::Impl::Curve(const httplib::Request& request, httplib::Response&)
{
	const Json body = ParseBody(request.body);
	const std::string tool = Member(body, "tool", &Json::is_string, "a tool name").get<std::string>();
	const std::string id = Member(body, "input", &Json::is_string, "an input ID").get<std::string>();
	if (!body.contains("value"))
		throw RequestError{400, "request needs \"value\": the input's value as a flow file writes it"};
	const std::optional<std::string> node =
		body.contains("node") ? std::optional(Member(body, "node", &Json::is_string, "a node name").get<std::string>())
		                      : std::nullopt;
	const double from = FiniteMember(body, "from", "a frame"), to = FiniteMember(body, "to", "a frame");
	const Json& count = Member(body, "samples", &Json::is_number_integer, "a whole number of samples");
	if (count.get<long long>() < 1 || count.get<long long>() > MaxSamples || !(from <= to))
		throw RequestError{400, "request needs \"from\" <= \"to\" and 1 to " + std::to_string(MaxSamples) +
		                            " \"samples\""};
	const long long samples = count.get<long long>();
	const double fps = body.contains("fps") ? FiniteMember(body, "fps", "frames per second above 0") : DefaultFps;
	if (!(fps > 0))
		throw RequestError{400, "request needs \"fps\": frames per second above 0"};

	const Registry* registry = Host.FindTool(tool);
	if (!registry)
		throw RequestError{400, "unknown tool \"" + Excerpt(tool) + "\""};
	// Faults name the node and input, as a flow's do, so the page shows them at the control.
	AnimatedValue value;
	try
	{
		const ToolSession probe(registry);
		const Input* input = probe.FindInput(id);
		if (!input->IsNumber() && !input->IsButtonRow())
			throw HostError(ErrorKind::Usage, "takes no value");
		value = AnimatedValue::Read(body["value"], input->IsNumber(), fps);
	}
	catch (HostError& e)
	{
		e.Node = node;
		e.Input = id;
		throw;
	}

	Answer frames = Answer::array(), values = Answer::array();
	for (long long i = 0; i < samples; ++i)
	{
		// Both ends exactly, so that a key's frame at either end gives the key's value.
		const double frame = i == samples - 1 ? to : from + (to - from) * static_cast<double>(i) / (samples - 1);
		frames.push_back(frame);
		values.push_back(value.IsNumber() ? JsonNumber(value.NumberAt(frame)) : Answer(value.TextAt(frame)));
	}
	// The Bezier handles as the curve takes them, for the editor to draw
	// where a file leaves them out.
	Answer handles = Answer::array();
	const std::vector<double> keys = value.KeyFrames();
	for (size_t k = 0; k < keys.size(); ++k)
	{
		const AnimatedValue::Handles of = value.HandlesOf(k);
		handles.push_back({{"in", of.In ? Answer(*of.In) : Answer(nullptr)}, {"out", of.Out ? Answer(*of.Out) : Answer(nullptr)}});
	}
	return {{"frames", frames}, {"values", values}, {"keys", keys}, {"handles", handles}};
}
