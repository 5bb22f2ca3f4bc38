// The flow-file parser on arbitrary text: every fault is a usage error.
#include <nlohmann/json.hpp>

#include "Flow.h"
#include "FuzzSupport.h"
#include "HostError.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
	if (document.is_discarded())
		return 0;
	try
	{
		ParseFlow(FuzzPlugins(), document, "/flows");
	}
	catch (const HostError& e)
	{
		if (e.Status != ExitUsage)
			__builtin_trap();
	}
	return 0;
}
