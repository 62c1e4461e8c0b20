// File spans: queued among bytes, sent by sendfile, traced from their tail, stopped by a reset.
#include "platform/winsock.h"
#include "socket_layer/flow_limits.h"
#include "socket_layer/mod_falquor.h"
#include "socket_layer/output_queue.h"
#include "socket_layer/span_trace.h"
#include "socket_layer/tls_context.h"
#include "support/accepted_socket.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <memory>

using namespace testing_support;

namespace {

// How many of this process's descriptors are open on the file at `path`.
int DescriptorsOn(const std::string& path) {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            char target[4096];
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
            count += n > 0 && std::string(target, static_cast<std::size_t>(n)) == path ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

// Lines of varied lengths up to `longest`, with blanks at their edges now and then; or, with
// `blank`, lines of blanks around one letter, whose trace entries are far shorter than they.
std::string Lines(std::size_t total, std::size_t longest, bool blank = false) {
    std::string lines;
    for (std::size_t i = 0; lines.size() < total; ++i) {
        const std::size_t n = i * 7919 % longest;
        lines += blank
                     ? std::string(n, ' ') + "x" + std::string(n / 2, ' ')
                     : (i % 4 == 0 ? "  " : "") + std::string(n, static_cast<char>('a' + i % 26)) +
                           (i % 3 == 0 ? " " : "");
        lines += "\r\n";
    }
    return lines;
}

class Served {
public:
    explicit Served(int receiveBuffer = 0)
        : socket(AcceptedSocket(falquor, listener, client, receiveBuffer)) {
        falquor.Attach(socket, ConnectionHooks{owner.get(), [this] { ++ready; },
                                               [this](CloseReason) { closed = true; }});
        EXPECT_TRUE(falquor.Watch(socket));
    }
    ~Served() { platform::WSACleanup(); }

    // Queues the file's bytes as a span and closes the caller's own descriptor at once.
    bool SendFile(const std::string& path, std::int64_t offset, std::int64_t length) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        const bool queued = falquor.SendFileSpan(socket, fd, offset, length);
        ::close(fd);
        return queued;
    }

    modFalquor falquor;
    std::unique_ptr<QObject> owner = std::make_unique<QObject>();
    LoopbackClient client;
    int listener = 0;
    int socket = -1;
    int ready = 0;
    bool closed = false;
};

}  // namespace

TEST(SocketLayerFileSpan, TheQueueKeepsBytesAndSpansInOrder) {
    TempDir dir;
    const std::string big(100 * 1024, 'b');  // consumed far enough to compact the bytes
    const std::string path = dir.Write("f", "0123456789");
    const int fd = ::open(path.c_str(), O_RDONLY);
    auto lent = std::make_shared<const std::string>("lent");
    std::weak_ptr<const std::string> lentAlive = lent;
    OutputQueue queue;
    queue.Append("one");
    queue.Append(FileSpan{::dup(fd), 2, 3});
    queue.Append(FileSpan{::dup(fd), 0, 0});  // nothing: dropped at once
    queue.Append(BorrowedBytes{"[", nullptr});
    queue.Append(BorrowedBytes{*lent, std::move(lent)});
    queue.Append(BorrowedBytes{"", nullptr});  // nothing
    queue.Append(FileSpan{::dup(fd), 7, 2});
    queue.Append(big);
    queue.Append(FileSpan{::dup(fd), 0, 10});
    queue.Append("end");
    EXPECT_EQ(queue.size(), 3 + 3 + 5 + 2 + big.size() + 10 + 3);
    // What one gathering write takes: held and borrowed bytes, up to the first span.
    std::array<std::string_view, 8> gathered;
    queue.Consume(3);
    queue.Consume(3);
    ASSERT_EQ(queue.Gather(gathered, 1 << 20), 2u);
    EXPECT_EQ(std::string(gathered[0]) + std::string(gathered[1]), "[lent");
    queue.ConsumeBytes(2);
    EXPECT_EQ(queue.Front(), "ent");
    EXPECT_FALSE(lentAlive.expired());
    std::string sent = "one234[l";

    // Taken off in odd steps, the pieces come out as queued: each span in <>.
    int inSpan = -1;
    for (std::size_t step = 1; !queue.empty(); step = step * 3 % 65537) {
        const FileSpan* span = queue.FrontSpan();
        const int now = span != nullptr ? span->fd : -1;
        if (now != inSpan) {
            sent += inSpan != -1 ? ">" : "";
            sent += now != -1 ? "<" : "";
            inSpan = now;
        }
        if (span != nullptr) {
            EXPECT_TRUE(queue.Front().empty());
            const auto count = std::min<std::size_t>(step, static_cast<std::size_t>(span->length));
            std::string piece(count, '\0');
            ASSERT_EQ(::pread(span->fd, piece.data(), count, span->offset),
                      static_cast<ssize_t>(count));
            sent += piece;
            queue.Consume(count);
        } else {
            const std::string_view front = queue.Front();
            ASSERT_FALSE(front.empty());
            const std::size_t count = std::min(step, front.size());
            sent += front.substr(0, count);
            queue.Consume(count);
        }
    }
    EXPECT_TRUE(sent == "one234[lent<78>" + big + "<0123456789>end") << sent.substr(0, 20);
    EXPECT_EQ(DescriptorsOn(path), 1) << "a span's descriptor is closed once it has gone";
    EXPECT_TRUE(lentAlive.expired()) << "borrowed bytes are let go once they have gone";

    // Released, a queue closes the descriptors of the spans it still holds.
    queue.Append(FileSpan{::dup(fd), 0, 10});
    queue.Append("x");
    queue.Append(FileSpan{::dup(fd), 0, 10});
    EXPECT_EQ(DescriptorsOn(path), 3);
    queue.Release();
    EXPECT_EQ(DescriptorsOn(path), 1);
    EXPECT_TRUE(queue.empty());
    ::close(fd);
}

TEST(SocketLayerFileSpan, SpansLeaveExactlyAmongLinesThroughAFullReceiveWindow) {
    TempDir dir;
    const std::string body = Lines(3 * flow::kHighWater, 200);
    const std::string path = dir.Write("message", "skip me" + body + "tail without CR LF");
    const std::int64_t length = static_cast<std::int64_t>(body.size());
    Served s(4096);
    EXPECT_TRUE(s.falquor.CanSendFile(s.socket));
    EXPECT_TRUE(s.falquor.SendToSocket(s.socket, "+OK"));
    EXPECT_TRUE(s.SendFile(path, 7, length));
    EXPECT_TRUE(s.falquor.Congested(s.socket)) << "a span counts towards the mark as bytes do";
    EXPECT_TRUE(s.SendFile(path, 7 + length, 18));
    EXPECT_TRUE(s.falquor.SendToSocket(s.socket, "."));
    EXPECT_TRUE(s.SendFile(path, 0, 0));

    const std::string got = s.client.ReadUntil("CR LF.\r\n", 60s);
    EXPECT_EQ(got.size(), 5 + body.size() + 21);
    EXPECT_TRUE(got == "+OK\r\n" + body + "tail without CR LF.\r\n");
    ASSERT_TRUE(PumpUntil([&] { return !s.falquor.Congested(s.socket); }));
    EXPECT_GE(s.ready, 1) << "the owner is told when a congested span has drained";
    EXPECT_EQ(DescriptorsOn(path), 0) << "each span's descriptor is closed once sent";

    // Encrypted, a connection takes no span and reads nothing of the file.
    std::string error;
    s.falquor.SetTls(TlsContext::SelfSigned(error));
    s.falquor.StartTls(s.socket);
    EXPECT_FALSE(s.falquor.CanSendFile(s.socket));
    EXPECT_FALSE(s.SendFile(path, 0, 10));
    EXPECT_FALSE(s.falquor.CanSendFile(s.socket + 1000));
}

TEST(SocketLayerFileSpan, TheTraceHoldsWhatTracingEveryLineWouldHold) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string body;
    };
    const Case cases[] = {
        {"a few lines", Lines(500, 80)},
        {"many short lines", Lines(400 * 1024, 90)},
        // The ring's first entry, and the tail read, begin inside a line.
        {"long lines", Lines(300 * 1024, 9000)},
        // Lines of blanks make short entries: more than the ring's size must be read.
        {"blank lines", Lines(200 * 1024, 4000, true)},
        {"empty lines", Lines(100 * 1024, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string& body = c.body;
        Served s;
        s.falquor.SendToSocket(s.socket, "+OK before");
        const std::string path = dir.Write("m", body);
        s.falquor.trace().Clear();
        s.falquor.SendToSocket(s.socket, "+OK");
        ASSERT_TRUE(s.SendFile(path, 0, static_cast<std::int64_t>(body.size())));
        const std::string spanTrace = s.falquor.trace().Contents();
        s.falquor.trace().Clear();
        s.falquor.SendToSocket(s.socket, "+OK");
        s.falquor.SendLines(s.socket, body);
        EXPECT_EQ(spanTrace.size(), s.falquor.trace().Contents().size());
        EXPECT_TRUE(spanTrace == s.falquor.trace().Contents());
    }

    // Only the end of a big span is read for its trace.
    const std::string body = Lines(8 * 1024 * 1024, 100);
    const int fd = ::open(dir.Write("big", body).c_str(), O_RDONLY);
    Trace trace;
    const long long before = BytesReadSoFar();
    TraceFileSpan(trace, "[5-->]", fd, 0, static_cast<std::int64_t>(body.size()));
    const long long read = BytesReadSoFar() - before;
    ::close(fd);
    EXPECT_LE(read, static_cast<long long>(trace.capacity()) + 1024);
    Trace everyLine;
    everyLine.AppendLines("[5-->]", body);
    EXPECT_TRUE(trace.Contents() == everyLine.Contents());
}

TEST(SocketLayerFileSpan, AResetEndsTheSpanAndNothingMoreOfTheFileIsRead) {
    TempDir dir;
    const std::string body = Lines(16 * 1024 * 1024, 100);
    const std::string path = dir.Write("huge", body);
    Served s(4096);
    const long long before = BytesReadSoFar();
    ASSERT_TRUE(s.SendFile(path, 0, static_cast<std::int64_t>(body.size())));
    EXPECT_FALSE(s.client.ReadUntil("\r\n").empty());
    PumpFor(50ms);
    const linger reset{1, 0};
    ::setsockopt(s.client.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    s.client.Close();
    ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
    EXPECT_FALSE(s.SendFile(path, 0, 10)) << "gone";
    PumpFor(100ms);
    EXPECT_LT(BytesReadSoFar() - before, 4 * 1024 * 1024) << "the rest of the file stays unread";
    EXPECT_EQ(DescriptorsOn(path), 0) << "the span's descriptor is closed";
    EXPECT_NE(s.falquor.trace().Contents().find("[" + std::to_string(s.socket) +
                                                "] >closed: connection failed<"),
              std::string::npos);
}

TEST(SocketLayerFileSpan, AFileCutShortEndsTheConnectionInsteadOfLeavingTheClientWaiting) {
    TempDir dir;
    const std::string body = Lines(2 * flow::kHighWater, 100);
    const std::string path = dir.Write("shrinking", body);
    Served s(4096);
    ASSERT_TRUE(s.SendFile(path, 0, static_cast<std::int64_t>(body.size())));
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    EXPECT_TRUE(s.client.WaitForClose());
    ASSERT_TRUE(PumpUntil([&] { return s.closed; }));
    EXPECT_LT(s.client.received().size(), body.size());
    const std::string n = std::to_string(s.socket);
    EXPECT_NE(s.falquor.trace().Contents().find(
                  "[" + n + "] >file span: the file ended before the span<\r\n[" + n +
                  "] >closed: connection failed<"),
              std::string::npos);
}

TEST(SocketLayerFileSpan, ATurnAskedForComesOnceInAComingPass) {
    Served s;
    s.falquor.RequestTurn(s.socket);
    s.falquor.RequestTurn(s.socket);
    s.falquor.RequestTurn(s.socket + 1000);  // no such connection: nothing
    EXPECT_EQ(s.ready, 0) << "never inside the call";
    ASSERT_TRUE(PumpUntil([&] { return s.ready > 0; }));
    PumpFor(50ms);
    EXPECT_EQ(s.ready, 1);
    s.falquor.RequestTurn(s.socket);
    ASSERT_TRUE(PumpUntil([&] { return s.ready == 2; }));
}
