#pragma once
#include <nlohmann/json.hpp>
#include <ostream>

#include "Operator.h"
#include "qz/core/PluginHost.h"

/// The registered tools, in registration order, as `qz list` shows them.
nlohmann::ordered_json DescribeTools(const PluginHost& host);
void PrintTools(const nlohmann::ordered_json& tools, std::ostream& out);

/// A tool's page: every declaration in order, then the output, as `qz info` shows it.
nlohmann::ordered_json DescribeTool(const PluginHost& host, const Registry* tool);
void PrintTool(const nlohmann::ordered_json& tool, std::ostream& out);

/// A number for JSON: non-finite values as the strings "inf", "-inf", "nan".
nlohmann::ordered_json JsonNumber(double value);
