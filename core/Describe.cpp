#include "qz/core/Describe.h"

#include <cmath>
#include <cstdio>
#include <iomanip>

#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"

using json = nlohmann::ordered_json;

json JsonNumber(double value)
{
	if (std::isfinite(value))
		return value;
	return FormatNumber(value);
}

json DescribeTools(const PluginHost& host)
{
	json tools = json::array();
	int order = 1;
	for (const Registry* tool : host.Tools())
	{
		const TagStore& attrs = tool->Attributes();
		json flags = json::object();
		for (uint32_t code : {Attr::RegFlag03, Attr::RegFlag17, Attr::RegFlag19})
			if (attrs.Has(code))
				flags[Attr::NameOf(code)] = attrs.GetInt(code);
		tools.push_back({{"order", order++},
		                 {"name", tool->Name()},
		                 {"classId", tool->ID().GetRawString()},
		                 {"className", host.ClassName(tool)},
		                 {"category", attrs.GetText(Attr::Category)},
		                 {"shortName", attrs.GetText(Attr::ShortName)},
		                 {"longName", attrs.GetText(Attr::LongName)},
		                 {"icon", attrs.GetText(Attr::IconPath)},
		                 {"flags", flags}});
	}
	return tools;
}

void PrintTools(const json& tools, std::ostream& out)
{
	for (const json& tool : tools)
	{
		out << std::setw(2) << tool["order"].get<int>() << "  " << std::left << std::setw(20)
		    << tool["name"].get<std::string>() << std::setw(28) << tool["classId"].get<std::string>()
		    << std::setw(24) << tool["category"].get<std::string>() << tool["longName"].get<std::string>();
		out << "  [" << tool["shortName"].get<std::string>() << ", " << tool["icon"].get<std::string>();
		for (auto& [flag, value] : tool["flags"].items())
			out << ", " << flag << "=" << value.get<int>();
		out << "]" << std::right << "\n";
	}
}

static json DescribeAttributes(const TagStore& attrs)
{
	json described = json::object();
	for (const TagStore::Entry& e : attrs.Entries())
	{
		const char* name = Attr::NameOf(e.Code);
		const std::string key = name ? name : "0x" + [&] {
			char hex[16];
			std::snprintf(hex, sizeof hex, "%08x", e.Code);
			return std::string(hex);
		}();
		json value;
		switch (Attr::TypeOf(e.Code))
		{
		case Attr::ValueType::Int: value = static_cast<long long>(e.Value); break;
		case Attr::ValueType::Double: value = JsonNumber(TagToDouble(e.Value)); break;
		case Attr::ValueType::String:
		case Attr::ValueType::Id: value = e.Text; break;
		default: value = nullptr; break;
		}
		if (e.Code == Attr::ButtonText)
			described["ButtonText"].push_back(value);
		else
			described[key] = value;
	}
	return described;
}

json DescribeTool(const PluginHost& host, const Registry* registry)
{
	ToolSession session(registry);
	Operator& tool = session.Tool();
	json inputs = json::array();
	for (const auto& input : tool.Inputs())
	{
		json described = {{"caption", input->Caption().GetRawString()},
		                  {"id", input->ID().GetRawString()},
		                  {"attributes", DescribeAttributes(input->Attributes())}};
		// What the host makes of the declaration: whether a render refuses to
		// run without the image, and how far past its slider a number may go.
		if (input->IsImage())
			described["required"] = input->MustBeConnected();
		if (const std::optional<int> limit = input->WorkLimit())
			described["hardLimit"] = *limit;
		// Keys or an expression may drive any number and button row.
		if (input->IsNumber() || input->IsButtonRow())
			described["animates"] = true;
		inputs.push_back(described);
	}
	json outputs = json::array();
	for (const auto& output : tool.Outputs())
		outputs.push_back({{"caption", output->Caption().GetRawString()},
		                   {"id", output->ID().GetRawString()},
		                   {"attributes", DescribeAttributes(output->Attributes())}});
	json pages = json::array();
	for (const ControlPage& page : tool.Pages())
		pages.push_back(page.Name);
	json described = {{"name", registry->Name()},
	                  {"classId", registry->ID().GetRawString()},
	                  {"className", host.ClassName(registry)},
	                  {"pages", pages},
	                  {"inputs", inputs},
	                  {"outputs", outputs}};
	// Bounds a render checks against its images, beside the inputs' own.
	for (const WorkBound& bound : tool.WorkBounds())
		described["workBounds"].push_back({{"counted", bound.Counted}, {"hardLimit", bound.Maximum}});
	return described;
}

static std::string Text(const json& value)
{
	return value.is_string() ? value.get<std::string>() : value.dump();
}

void PrintTool(const json& tool, std::ostream& out)
{
	out << tool["name"].get<std::string>() << " (" << tool["classId"].get<std::string>() << ")";
	for (const json& page : tool["pages"])
		out << ", page \"" << page.get<std::string>() << "\"";
	out << "\n";
	auto printDeclaration = [&](const json& decl, const char* kind) {
		const json& attrs = decl["attributes"];
		out << "  " << kind << " \"" << decl["id"].get<std::string>() << "\"  \"" << decl["caption"].get<std::string>()
		    << "\"";
		for (auto& [name, value] : attrs.items())
		{
			out << "  " << name << "=";
			if (value.is_array())
			{
				std::string list;
				for (const json& item : value)
					list += (list.empty() ? "" : "|") + Text(item);
				out << list;
			}
			else
				out << Text(value);
		}
		if (decl.contains("required"))
			out << (decl["required"].get<bool>() ? "  required" : "  optional");
		if (decl.contains("hardLimit"))
			out << "  hard limit " << decl["hardLimit"].get<int>();
		if (decl.contains("animates"))
			out << "  animates";
		out << "\n";
	};
	for (const json& input : tool["inputs"])
		printDeclaration(input, "input ");
	for (const json& output : tool["outputs"])
		printDeclaration(output, "output");
	if (tool.contains("workBounds"))
		for (const json& bound : tool["workBounds"])
		{
			char limit[32];  // as a refusal quotes it
			std::snprintf(limit, sizeof limit, "%.4g", bound["hardLimit"].get<double>());
			out << "  work: " << bound["counted"].get<std::string>() << ", hard limit " << limit << "\n";
		}
}
