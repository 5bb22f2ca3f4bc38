// The viewer's colour: the view transform as a shader the page compiles
// (/api/view), or applied here to the pictures of a page that has no WebGL2.
#include "ServerImpl.h"

#include <cmath>

using namespace studio;

namespace
{
// The name `key` gives, or "" when absent (the transform's default).
ViewedChannels ChannelsNamed(const std::string& name)
{
	static const std::map<std::string, ViewedChannels> channels{
		{"rgb", ViewedChannels::Rgb},  {"r", ViewedChannels::Red},   {"g", ViewedChannels::Green},
		{"b", ViewedChannels::Blue},   {"a", ViewedChannels::Alpha}, {"luma", ViewedChannels::Luma}};
	const auto found = channels.find(name);
	if (found == channels.end())
		throw RequestError{400, "request needs \"channel\": rgb, r, g, b, a or luma, not \"" + Excerpt(name) + "\""};
	return found->second;
}

double NumberMember(const Json& body, const char* key, double absent, const char* type)
{
	if (!body.contains(key))
		return absent;
	const double number = Member(body, key, &Json::is_number, type).get<double>();
	if (!std::isfinite(number))
		throw RequestError{400, std::string("request needs \"") + key + "\": " + type};
	return number;
}
}

namespace studio
{
PixelEncoding EncodingAsked(const Json& body)
{
	const std::string format =
		body.contains("format")
			? Member(body, "format", &Json::is_string, "\"float\", \"half\" or \"display\"").get<std::string>()
			: "float";
	PixelEncoding encoding;
	if (format == "half")
		encoding.Kind = PixelEncoding::Halves;
	else if (format == "display")
	{
		const Json& display = Member(body, "display", &Json::is_object,
		                             "{space, display, view, look, channel, exposure, gamma}");
		encoding.Kind = PixelEncoding::Display;
		encoding.View = std::make_shared<const ViewTransform>(DisplayView{
			TextMember(display, "space", "a name"), TextMember(display, "display", "a name"),
			TextMember(display, "view", "a name"), TextMember(display, "look", "a name")});
		encoding.Channels = ChannelsNamed(display.contains("channel") ? TextMember(display, "channel", "a name") : "rgb");
		encoding.Grade.Exposure = NumberMember(display, "exposure", 0, "stops, a finite number");
		encoding.Grade.Gamma = NumberMember(display, "gamma", 1, "a gamma above 0");
		if (!(encoding.Grade.Gamma > 0))
			throw RequestError{400, "request needs \"gamma\": a gamma above 0"};
	}
	else if (format != "float")
		throw RequestError{400, "request needs \"format\": \"float\", \"half\" or \"display\""};
	return encoding;
}
}

StudioServer::Impl::Answer StudioServer::Impl::View(const httplib::Request& request, httplib::Response&)
{
	const auto param = [&](const char* name) { return request.has_param(name) ? request.get_param_value(name) : ""; };
	const ViewTransform transform({param("space"), param("display"), param("view"), param("look")});
	const DisplayView& names = transform.Names();
	return {{"space", names.Space},   {"display", names.Display},         {"view", names.View},
	        {"look", names.Look},     {"luma", transform.LumaWeights()}, {"shader", transform.Shader()}};
}
