// The trace file: every entry, whatever the ring keeps, appended privately and reopened by name.
#include "socket_layer/trace_file.h"
#include "socket_layer/span_trace.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

unsigned Mode(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

}  // namespace

TEST(TraceFile, ASinkGetsEveryEntryWhileTheRingKeepsWhatItWouldHaveKept) {
    TempDir dir;
    constexpr std::size_t kBlock = 64 * 1024;  // how a span is read for a sink
    std::string many;
    for (int i = 0; many.size() < 200 * 1024; ++i) {
        many +=
            (i % 5 == 0 ? " " : "") + std::string(static_cast<std::size_t>(i % 90), 'm') + "\r\n";
    }
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"many lines", many},
        // A CR LF split between two reads, a line longer than a read, no CR LF at the end.
        {"cut lines", std::string(kBlock - 1, 'a') + "\r\n" + std::string(3 * kBlock, 'b') +
                          "\r\nbare\nLF\r\n\r\nlast piece"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // What appending each line alone gives.
        Trace oneByOne;
        Kept expected;
        oneByOne.SetSink(&expected);
        for (std::size_t at = 0; at < c.body.size();) {
            const std::size_t end = std::min(c.body.find("\r\n", at), c.body.size());
            oneByOne.AppendEntry("[5-->]", std::string_view(c.body).substr(at, end - at));
            at = end + 2;
        }
        const int fd = ::open(dir.Write("m", c.body).c_str(), O_RDONLY | O_CLOEXEC);
        Trace spanned;
        Kept fromSpan;
        spanned.SetSink(&fromSpan);
        TraceFileSpan(spanned, "[5-->]", fd, 0, static_cast<std::int64_t>(c.body.size()));
        ::close(fd);
        EXPECT_TRUE(fromSpan.bytes_ == expected.bytes_);
        EXPECT_TRUE(spanned.Contents() == oneByOne.Contents());
        if (c.body.ends_with("\r\n")) {
            Trace lines;
            Kept fromLines;
            lines.SetSink(&fromLines);
            lines.AppendLines("[5-->]", c.body);
            EXPECT_TRUE(fromLines.bytes_ == expected.bytes_);
            EXPECT_TRUE(lines.Contents() == oneByOne.Contents());
        }
        EXPECT_GT(expected.bytes_.size(), oneByOne.capacity());
    }
}

TEST(TraceFile, AppendsPrivatelyAsItHappensAndReopensByName) {
    TempDir dir;
    const std::string path = dir.path() + "/trace";
    std::vector<std::string> reports;
    auto file = std::make_unique<TraceFile>(
        path, [&](const std::string& reason) { reports.push_back(reason); });
    ASSERT_EQ(file->Open(), "");
    EXPECT_EQ(Mode(path), 0600u);
    file->Write("one ");
    EXPECT_TRUE(PumpUntil([&] { return Read(path) == "one "; })) << "written without a Flush";

    // Rotated: renamed, then reopened. What was gathered before goes to the old file.
    ASSERT_EQ(::rename(path.c_str(), (path + ".1").c_str()), 0);
    file->Write("two ");
    ASSERT_EQ(file->Open(), "");
    file->Write("three ");
    file.reset();
    EXPECT_EQ(Read(path + ".1"), "one two ");
    EXPECT_EQ(Read(path), "three ");
    EXPECT_EQ(Mode(path), 0600u);

    // An existing file is appended to, never replaced; a link, a folder or a FIFO is refused
    // at once, and the file open until then stays in use.
    file = std::make_unique<TraceFile>(path);
    ASSERT_EQ(file->Open(), "");
    ASSERT_EQ(::symlink((path + ".1").c_str(), (dir.path() + "/link").c_str()), 0);
    dir.Make("folder");
    ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
    for (const auto& [name, reason] : {std::pair{"link", "it is a symbolic link"},
                                       {"folder", "Is a directory"},
                                       {"fifo", "it is not a regular file"}}) {
        EXPECT_EQ(TraceFile(dir.path() + "/" + name).Open(), reason) << name;
    }
    ASSERT_EQ(::rename(path.c_str(), (dir.path() + "/moved").c_str()), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(file->Open(), "Is a directory");
    file->Write("four");
    file.reset();
    EXPECT_EQ(Read(dir.path() + "/moved"), "three four");
    EXPECT_EQ(Read(path + ".1"), "one two ") << "never through the link";
}

TEST(TraceFile, AFailedWriteIsReportedOnceAndDropsWhatWasGathered) {
    TempDir dir;
    const std::string path = dir.path() + "/trace";
    std::vector<std::string> reports;
    TraceFile file(path, [&](const std::string& reason) { reports.push_back(reason); });
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
    EXPECT_EQ(reports, std::vector<std::string>{"File too large"});
    file.Write("ok");
    file.Flush();
    EXPECT_EQ(Read(path), "xxxxxxxxok");
    // Big batches are written at once, never held.
    file.Write(std::string(TraceFile::kMostGathered, 'y'));
    EXPECT_EQ(Read(path).size(), 10 + TraceFile::kMostGathered);
}
