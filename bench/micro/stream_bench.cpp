#include "mail_service/message_stream.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A channel that only counts, so the figure is the stream's own cost: reading, cutting
// lines and stuffing.
class CountingChannel : public Pop3Channel {
public:
    std::size_t bytes = 0;
    bool ReceiveLine(std::string&) override { return false; }
    InputEnd InputState() const override { return InputEnd::None; }
    bool SendLine(std::string_view text) override {
        bytes += text.size() + 2;
        return true;
    }
    bool SendLines(std::string_view lines) override {
        bytes += lines.size();
        return true;
    }
    bool SendPart(std::string_view b) override {
        bytes += b.size();
        return true;
    }
    bool Congested() const override { return false; }
    void Close() override {}
};

void BM_MessageStream(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() / "drennik-stream-bench";
    std::filesystem::create_directories(folder);
    std::string line(74, 'x');
    {
        std::ofstream out(folder / "m", std::ios::binary);
        for (int i = 0; i < 16 * 1024 * 1024 / 76; ++i) {
            line[0] = i % 50 == 0 ? '.' : 'x';
            out << line << "\r\n";
        }
    }
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(folder / "m"));
    const platform::StoreFolder open =
        platform::StoreFolder::OpenRoot(folder.parent_path().string())
            .OpenFolder(folder.filename().string());
    const platform::FolderListing listing = platform::ListFolder(open);
    for (auto _ : state) {
        MessageStream stream;
        stream.Open(open, "m", listing.entries.at(0).identity);
        CountingChannel out;
        while (stream.Pump(out, 1 << 30) == MessageStream::Step::More) {
        }
        benchmark::DoNotOptimize(out.bytes);
    }
    state.SetBytesProcessed(state.iterations() * size);
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_MessageStream)->Unit(benchmark::kMillisecond);

}  // namespace
