#include "socket_layer/mod_falquor.h"
#include "socket_layer/trace_ring.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// One trace entry of 80 bytes: "[12-->] >" + 66 bytes of text + "<\r\n".
const std::string kText(66, 'm');

void BM_AppendTraceEntry(benchmark::State& state) {
    modFalquor falquor;
    for (auto _ : state) {
        falquor.AppendTrace("[12-->]", kText);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 80);
}
BENCHMARK(BM_AppendTraceEntry);

void BM_TraceRingAppend(benchmark::State& state) {
    TraceRing ring;
    const std::string entry(static_cast<std::size_t>(state.range(0)), 'e');
    for (auto _ : state) {
        ring.Append(entry);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TraceRingAppend)->Arg(80)->Arg(4096);

}  // namespace
