// qz's parsers of option values: frame ranges, chunks, sequence paths, and
// -s values for every input of every tool.
#include "FuzzSupport.h"
#include "qz/core/Error.h"
#include "qz/core/ToolSession.h"
#include "qz/graph/Frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	FuzzBytes bytes(data, size);
	const uint8_t parser = bytes.Byte() % 4;
	try
	{
		switch (parser)
		{
		case 0:
			ParseFrameRange(bytes.Rest());
			break;
		case 1:
			ParseChunk(bytes.Rest());
			break;
		case 2:
		{
			const int frame = static_cast<int8_t>(bytes.Byte()) * 100000 + bytes.Byte();
			FramePath(bytes.Rest(), frame);
			break;
		}
		case 3:
		{
			const auto tools = FuzzPlugins().Tools();
			ToolSession session(tools[bytes.Byte() % tools.size()]);
			const auto& inputs = session.Tool().Inputs();
			const std::string id = inputs.empty() ? "x" : inputs[bytes.Byte() % inputs.size()]->ID().GetRawString();
			session.SetValue(id, bytes.Rest());
			break;
		}
		}
	}
	catch (const HostError&)
	{
	}
	return 0;
}
