#include "mail_service/message_stream.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A channel that only counts, so the figure is the stream's own cost: reading, cutting
// lines and stuffing. With `spans`, it takes file spans and borrowed bytes as a socket would
// hand them to the kernel: without reading them.
class CountingChannel : public Pop3Channel {
public:
    explicit CountingChannel(bool spans) : spans_(spans) {}
    std::size_t bytes = 0;
    std::size_t spanned = 0;
    std::size_t borrowed = 0;
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
    bool SendFileSpan(int, std::int64_t, std::int64_t length) override {
        spanned += static_cast<std::size_t>(length);
        return true;
    }
    bool SendBorrowedLines(std::span<const std::string_view> pieces,
                           const std::shared_ptr<const void>&) override {
        for (const std::string_view piece : pieces) {
            borrowed += piece.size();
        }
        return true;
    }
    bool CanSendFile() const override { return spans_; }
    bool Congested() const override { return false; }
    void Close() override {}

private:
    bool spans_;
};

// A 16 MiB message of 76-byte lines, one in `range(0)` beginning with "."; `range(1)`: whether
// the channel takes file spans. Reported: bytes of the message per second, and the share of
// it that went as spans.
void BM_MessageStream(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() / "drennik-stream-bench";
    std::filesystem::create_directories(folder);
    std::string line(74, 'x');
    const int dotEvery = static_cast<int>(state.range(0));
    {
        std::ofstream out(folder / "m", std::ios::binary);
        for (int i = 0; i < 16 * 1024 * 1024 / 76; ++i) {
            line[0] = i % dotEvery == 0 ? '.' : 'x';
            out << line << "\r\n";
        }
    }
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(folder / "m"));
    const platform::StoreFolder open =
        platform::StoreFolder::OpenRoot(folder.parent_path().string())
            .OpenFolder(folder.filename().string());
    const platform::FolderListing listing = platform::ListFolder(open);
    std::size_t spanned = 0;
    for (auto _ : state) {
        MessageStream stream;
        stream.Open(open, "m", listing.entries.at(0).identity);
        CountingChannel out(state.range(1) != 0);
        while (stream.Pump(out, 1 << 30) == MessageStream::Step::More) {
        }
        benchmark::DoNotOptimize(out.bytes);
        spanned = out.spanned;
    }
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["spanned"] = static_cast<double>(spanned) / static_cast<double>(size);
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_MessageStream)
    ->ArgNames({"dotEvery", "spans"})
    ->Args({50, 0})
    ->Args({50, 1})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
