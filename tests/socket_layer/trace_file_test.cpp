// The trace file: every entry, whatever the ring keeps; a failed write told once.
#include "socket_layer/trace_file.h"
#include "socket_layer/span_trace.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>

using namespace testing_support;

namespace {

struct Kept : TraceSink {
    void Write(std::string_view bytes) override { bytes_.append(bytes); }
    std::string bytes_;
};

}  // namespace

TEST(TraceFile, ASinkGetsEveryEntryWhileTheRingKeepsWhatItWouldHaveKept) {
    TempDir dir;
    // Far more than the ring keeps; a CR LF split between two 64 KiB reads of a span, a line
    // longer than a read, a bare LF, and a last piece without CR LF.
    std::string body;
    for (int i = 0; body.size() < 100 * 1024; ++i) {
        body +=
            (i % 5 == 0 ? " " : "") + std::string(static_cast<std::size_t>(i % 90), 'm') + "\r\n";
    }
    body += std::string(64 * 1024 - body.size() % (64 * 1024) - 1, 'a') + "\r\n" +
            std::string(200 * 1024, 'b') + "\r\nbare\nLF\r\n\r\nlast piece";
    Trace oneByOne;  // what tracing each line alone gives
    Kept expected;
    oneByOne.SetSink(&expected);
    for (std::size_t at = 0; at < body.size();) {
        const std::size_t end = std::min(body.find("\r\n", at), body.size());
        oneByOne.AppendEntry("[5-->]", std::string_view(body).substr(at, end - at));
        at = end + 2;
    }
    const int fd = ::open(dir.Write("m", body).c_str(), O_RDONLY | O_CLOEXEC);
    Trace spanned;
    Kept fromSpan;
    spanned.SetSink(&fromSpan);
    TraceFileSpan(spanned, "[5-->]", fd, 0, static_cast<std::int64_t>(body.size()));
    ::close(fd);
    EXPECT_TRUE(fromSpan.bytes_ == expected.bytes_);
    EXPECT_TRUE(spanned.Contents() == oneByOne.Contents());
    Trace lines;
    Kept fromLines;
    lines.SetSink(&fromLines);
    lines.AppendLines("[5-->]", body.substr(0, body.rfind("\r\n") + 2));
    EXPECT_TRUE(fromLines.bytes_ + "[5-->] >last piece<\r\n" == expected.bytes_);
}

TEST(TraceFile, AFailedWriteIsToldOnceDropsWhatWasGatheredAndWritingGoesOn) {
    TempDir dir;
    const std::string path = dir.path() + "/trace";
    std::vector<std::string> told;
    TraceFile file(path, [&](const std::string& reason) { told.push_back(reason); });
    ASSERT_EQ(file.Open(), "");
    // A file size limit stands in for a full disk.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 8;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 3; ++i) {
        file.Write(std::string(100, 'x'));
        file.Flush();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(told, std::vector<std::string>{"File too large"});
    file.Write("ok");  // written once the event loop has run, without a Flush
    const auto written = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_TRUE(PumpUntil([&] { return written() == "xxxxxxxxok"; })) << written();
}
