// How the studio's API reads requests and answers them: JSON bodies of
// bounded depth, and every answer, errors included, as JSON.
#include "ServerImpl.h"

#include <climits>

#include "qz/core/Error.h"

namespace
{
constexpr int MaxBodyDepth = 64;
}

namespace studio
{
void SetJson(httplib::Response& response, int status, const nlohmann::ordered_json& body)
{
	response.status = status;
	// Texts from files are escaped where they are quoted; a name that still
	// is not UTF-8 (a file's, listed) cannot make the answer invalid.
	response.set_content(body.dump(-1, ' ', true, Json::error_handler_t::replace), "application/json");
}

void SetError(httplib::Response& response, int status, const std::string& message,
              const std::optional<std::string>& node, const std::optional<std::string>& input)
{
	nlohmann::ordered_json body{{"error", Escaped(message)}};
	if (node)
		body["node"] = *node;
	if (input)
		body["input"] = *input;
	SetJson(response, status, body);
}

Json ParseBody(const std::string& body)
{
	const Json::parser_callback_t depthLimit = [](int depth, Json::parse_event_t event, Json&) {
		if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
		    depth >= MaxBodyDepth)
			throw RequestError{400, "request body nests deeper than " + std::to_string(MaxBodyDepth) + " levels"};
		return true;
	};
	try
	{
		Json parsed = Json::parse(body, depthLimit);
		if (!parsed.is_object())
			throw RequestError{400, "request body must be a JSON object"};
		return parsed;
	}
	catch (const Json::exception& e)
	{
		throw RequestError{400, std::string("malformed request body: ") + e.what()};
	}
}

const Json& Member(const Json& body, const char* key, bool (Json::*isType)() const, const char* type)
{
	if (!body.contains(key) || !(body[key].*isType)())
		throw RequestError{400, std::string("request needs \"") + key + "\": " + type};
	return body[key];
}

std::string TextMember(const Json& body, const char* key, const char* type)
{
	return body.contains(key) ? Member(body, key, &Json::is_string, type).get<std::string>() : "";
}

int IntMember(const Json& body, const char* key, const char* type)
{
	const Json& number = Member(body, key, &Json::is_number_integer, type);
	if (number.is_number_unsigned() ? number.get<unsigned long long>() > INT_MAX
	                                : number.get<long long>() < INT_MIN || number.get<long long>() > INT_MAX)
		throw RequestError{400, std::string("\"") + key + "\" " + number.dump() + " is out of range"};
	return number.get<int>();
}

// A whole number given in the query string.
long long IntegerParam(const httplib::Request& request, const char* name)
{
	const std::string text = request.has_param(name) ? request.get_param_value(name) : "";
	try
	{
		size_t used = 0;
		const long long value = std::stoll(text, &used);
		if (used == text.size())
			return value;
	}
	catch (const std::logic_error&)
	{
	}
	throw RequestError{400, std::string("request needs ") + name + "=INTEGER, not \"" + Excerpt(text) + "\""};
}
}
