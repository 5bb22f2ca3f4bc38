// What the tools are measured against: copying the frame's bytes.
#include <cstring>
#include <vector>

#include "BenchHarness.h"

static void BM_MemcpyFrame(benchmark::State& state)
{
	const size_t bytes = static_cast<size_t>(BenchSize) * BenchSize * 4 * sizeof(float);
	std::vector<char> from(bytes, 1), to(bytes);
	for (auto _ : state)
	{
		std::memcpy(to.data(), from.data(), bytes);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond);
