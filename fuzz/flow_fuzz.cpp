// The flow-file reader and parser on arbitrary text: every fault is a usage
// error.
#include <sstream>

#include "FuzzSupport.h"
#include "qz/core/Error.h"
#include "qz/graph/Flow.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	try
	{
		std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
		ParseFlow(FuzzPlugins(), ReadFlowDocument(text, "fuzz.json"), "/flows");
	}
	catch (const HostError& e)
	{
		if (e.Kind != ErrorKind::Usage)
			__builtin_trap();
	}
	return 0;
}
