#include "socket_layer/line_buffer.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace {

// Pipelined short commands arriving in 4 KiB reads, cut into lines.
void BM_LineFraming(benchmark::State& state) {
    std::string stream;
    while (stream.size() < 4096 * 64) {
        stream += "RETR " + std::to_string(stream.size() % 1000) + "\r\n";
    }
    LineBuffer buffer;
    std::string line;
    std::int64_t lines = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += 4096) {
            const std::size_t n = std::min<std::size_t>(4096, stream.size() - at);
            std::memcpy(buffer.PrepareAppend(4096), stream.data() + at, n);
            buffer.Commit(n);
            while (buffer.PopLine(line)) {
                ++lines;
            }
        }
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
    state.SetItemsProcessed(lines);
}
BENCHMARK(BM_LineFraming);

}  // namespace
