#include "socket_layer/modFalquor.h"

#include "platform/winsock.h"
#include "socket_layer/blanks.h"
#include "trace_window/frmFalquorDialog.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// Output is written at once when this much is queued, else at the end of the event-loop pass,
// so that the lines of one reply leave in as few system calls as practical.
constexpr std::size_t kWriteNow = 128 * 1024;
// How long a closing connection may keep sending before it is cut off.
constexpr auto kLinger = std::chrono::seconds(5);

// The marker of a trace entry: "[" n "-->]" for a sent text, "[-->" n "] " CR LF for a
// received line, n being the socket handle.
void MakePrefix(std::string& out, std::string_view before, int socket, std::string_view after) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, socket);
    out.clear();
    out.append(before);
    out.append(digits, result.ptr);
    out.append(after);
}

// Where the line that ends `text` begins: just after its last LF, or 0.
std::size_t AfterLastLf(std::string_view text) {
#if defined(__GLIBC__)
    const void* lf = ::memrchr(text.data(), '\n', text.size());
    return lf == nullptr ? 0
                         : static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) + 1;
#else
    const std::size_t lf = text.rfind('\n');
    return lf == std::string_view::npos ? 0 : lf + 1;
#endif
}

}  // namespace

struct modFalquor::Link {
    enum class State { Open, Closing, Lingering };

    int socket = -1;
    std::string sendPrefix;    // the trace marker of this connection's sent lines
    std::uint64_t serial = 0;  // tells this connection from a later one on the same handle
    ConnectionHooks hooks;
    LineBuffer input;
    OutputQueue output;
    State state = State::Open;
    bool peerClosed = false;
    bool overlong = false;
    bool failed = false;
    bool congested = false;
    bool dirty = false;
    Clock::time_point lastActivity = Clock::now();
};

modFalquor::modFalquor(QObject* parent) : QObject(parent) {
    connect(&sweepTimer_, &QTimer::timeout, this, &modFalquor::SweepIdle);
    SetIdleTimeout(idleTimeout_);
}

modFalquor::~modFalquor() = default;

bool modFalquor::StartWinSock() {
    TraceWindow().show();
    platform::WSAData data;
    return platform::WSAStartup(0x0101, &data) == 0;
}

bool modFalquor::CreateSocket(int& socket, int port) {
    socket = platform::socket(platform::AF_INET_, platform::SOCK_STREAM_, 0);
    if (socket == platform::kInvalidSocket) {
        return false;
    }
    platform::SocketAddress address;
    address.port = platform::htons(static_cast<std::uint16_t>(port));
    address.address = 0;
    return platform::bind(socket, address, sizeof address) != platform::kSocketError;
}

bool modFalquor::CloseSocket(int& socket) {
    return platform::closesocket(socket) != platform::kSocketError;
}

frmFalquorDialog& modFalquor::TraceWindow() {
    if (!traceWindow_) {
        traceWindow_ = std::make_unique<frmFalquorDialog>();
    }
    return *traceWindow_;
}

void modFalquor::AppendTrace(std::string_view prefix, std::string_view text) {
    frmFalquorDialog& window = TraceWindow();
    TraceRing& trace = window.trace();
    trace.Append(prefix);
    trace.Append(" >");
    trace.Append(TrimBlanks(text));
    trace.Append("<\r\n");
    window.TraceChanged();
}

void modFalquor::Attach(int socket, ConnectionHooks hooks) {
    auto link = std::make_unique<Link>();
    link->socket = socket;
    MakePrefix(link->sendPrefix, "[", socket, "-->]");
    link->serial = ++serials_;
    link->hooks = std::move(hooks);
    links_[socket] = std::move(link);
}

modFalquor::Link* modFalquor::Find(int socket) const {
    const auto it = links_.find(socket);
    return it == links_.end() ? nullptr : it->second.get();
}

std::string_view modFalquor::SendPrefix(int socket, const Link* link) {
    if (link != nullptr) {
        return link->sendPrefix;
    }
    MakePrefix(prefix_, "[", socket, "-->]");
    return prefix_;
}

bool modFalquor::SendToSocket(int& socket, std::string_view text, int raw) {
    Link* link = Find(socket);
    AppendTrace(SendPrefix(socket, link), text);
    if (link == nullptr || link->failed) {
        return false;
    }
    link->output.Append(text);
    return Queue(*link, raw == 0 ? std::string_view("\r\n") : std::string_view());
}

bool modFalquor::SendLines(int& socket, std::string_view lines) {
    Link* link = Find(socket);
    TraceLines(SendPrefix(socket, link), lines);
    return link != nullptr && !link->failed && Queue(*link, lines);
}

bool modFalquor::Queue(Link& link, std::string_view bytes) {
    link.output.Append(bytes);
    if (link.output.size() >= kWriteNow) {
        Write(link);
    }
    if (link.output.size() >= kHighWater) {
        link.congested = true;
    }
    ScheduleFlush(link);
    return !link.failed;
}

void modFalquor::TraceLines(std::string_view prefix, std::string_view lines) {
    // The trace keeps only its last bytes: of a long run of lines, only the entries that
    // will still be there afterwards are written. Walk back to the first of them.
    const std::size_t keep = TraceWindow().trace().capacity();
    std::size_t start = lines.size();
    std::size_t entries = 0;
    while (start > 0 && entries < keep) {
        const std::size_t end = start - 2;  // before this line's CR LF
        const std::size_t begin = AfterLastLf(lines.substr(0, end));
        entries += prefix.size() + 2 + TrimBlanks(lines.substr(begin, end - begin)).size() + 3;
        start = begin;
    }
    while (start < lines.size()) {
        const std::size_t end = lines.find("\r\n", start);
        AppendTrace(prefix, lines.substr(start, end - start));
        start = end + 2;
    }
}

bool modFalquor::ReceiveFromSocket(int& socket, std::string& text) {
    text.clear();
    Link* link = Find(socket);
    if (link == nullptr || link->state != Link::State::Open) {
        return false;
    }
    while (true) {
        if (link->input.PopLine(text)) {
            if (text.size() > LineBuffer::kMaxLine) {
                // However the bytes were split into reads: a line this long ends the input.
                text.clear();
                link->overlong = true;
                return false;
            }
            MakePrefix(prefix_, "[-->", socket, "] \r\n");
            AppendTrace(prefix_, text);
            link->lastActivity = Clock::now();
            return true;
        }
        // Input waits for output: a client that does not read its replies is not read either.
        if (link->peerClosed || link->failed || link->overlong || link->congested) {
            return false;
        }
        if (link->input.Overlong()) {
            link->overlong = true;
            return false;
        }
        char* area = link->input.PrepareAppend(kReadChunk);
        const int n = platform::recv(socket, area, kReadChunk, 0);
        link->input.Commit(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n == 0) {
            link->peerClosed = true;
            return false;
        }
        if (n < 0) {
            if (platform::WSAGetLastError() != platform::WSAEWOULDBLOCK) {
                link->failed = true;
                ScheduleFlush(*link);
            }
            return false;
        }
    }
}

bool modFalquor::Congested(int socket) const {
    const Link* link = Find(socket);
    return link != nullptr && link->congested;
}

InputEnd modFalquor::InputState(int socket) const {
    const Link* link = Find(socket);
    if (link == nullptr || link->failed) {
        return InputEnd::Failed;
    }
    if (link->overlong) {
        return InputEnd::LineTooLong;
    }
    if (link->input.HasLine()) {
        return InputEnd::Open;
    }
    return link->peerClosed ? InputEnd::PeerClosed : InputEnd::Open;
}

std::size_t modFalquor::PendingOutput(int socket) const {
    const Link* link = Find(socket);
    return link == nullptr ? 0 : link->output.size();
}

void modFalquor::CloseWhenFlushed(int socket) {
    if (Link* link = Find(socket); link != nullptr && link->state == Link::State::Open) {
        link->state = Link::State::Closing;
        ScheduleFlush(*link);
    }
}

void modFalquor::ScheduleFlush(Link& link) {
    if (!link.dirty) {
        link.dirty = true;
        dirty_.push_back(link.socket);
    }
    if (!flushPosted_) {
        flushPosted_ = true;
        QMetaObject::invokeMethod(this, &modFalquor::FlushAll, Qt::QueuedConnection);
    }
}

void modFalquor::Write(Link& link) {
    while (!link.output.empty()) {
        const std::string_view front = link.output.Front();
        const int length = static_cast<int>(std::min<std::size_t>(front.size(), 1 << 30));
        const int n = platform::send(link.socket, front.data(), length, 0);
        if (n > 0) {
            link.output.Consume(static_cast<std::size_t>(n));
            link.lastActivity = Clock::now();
            continue;
        }
        if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
            return;  // the platform reports FD_WRITE when there is room again
        }
        link.failed = true;
        return;
    }
}

void modFalquor::FlushAll() {
    flushPosted_ = false;
    std::vector<int> sockets;
    sockets.swap(dirty_);
    for (const int socket : sockets) {
        if (Link* link = Find(socket)) {
            link->dirty = false;
            Advance(*link);
        }
    }
}

void modFalquor::Advance(Link& link) {
    const int socket = link.socket;
    if (link.state != Link::State::Lingering && !link.failed) {
        Write(link);
    }
    if (link.failed) {
        Finish(socket);  // a reset or send error: nothing more can be delivered
        return;
    }
    if (link.congested && link.output.size() < kHighWater) {
        link.congested = false;
        if (link.hooks.drained) {
            link.hooks.drained();
        }
    }
    if (link.state == Link::State::Closing && link.output.empty()) {
        if (link.peerClosed) {
            Finish(socket);
            return;
        }
        // Half-close and read what the client still sends, so that unread input does not
        // turn the close into a reset that could destroy the last reply before it is read.
        platform::shutdown(socket, platform::SD_SEND);
        link.state = Link::State::Lingering;
        QTimer::singleShot(kLinger, this, [this, socket, serial = link.serial] {
            if (const Link* l = Find(socket);
                l != nullptr && l->serial == serial && l->state == Link::State::Lingering) {
                Finish(socket);
            }
        });
        DiscardInput(link);
    }
}

void modFalquor::DiscardInput(Link& link) {
    char scratch[16 * 1024];
    for (int reads = 0; reads < 64; ++reads) {
        const int n = platform::recv(link.socket, scratch, sizeof scratch, 0);
        if (n > 0) {
            continue;
        }
        if (n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK) {
            return;
        }
        Finish(link.socket);
        return;
    }
}

void modFalquor::Finish(int socket) {
    auto it = links_.find(socket);
    if (it == links_.end()) {
        return;
    }
    std::unique_ptr<Link> link = std::move(it->second);
    links_.erase(it);
    platform::closesocket(socket);
    if (link->hooks.closed) {
        link->hooks.closed();
    }
}

long modFalquor::OnSocketEvent(int socket, long events) {
    Link* link = Find(socket);
    if (link != nullptr && (events & platform::FD_WRITE) != 0) {
        Advance(*link);
        link = Find(socket);
    }
    if (link == nullptr) {
        return 0;
    }
    if (link->state == Link::State::Lingering) {
        if ((events & platform::FD_READ) != 0) {
            DiscardInput(*link);
        }
        return 0;
    }
    return events & ~platform::FD_WRITE;
}

void modFalquor::ForgetConnections() {
    links_.clear();
    dirty_.clear();
}

void modFalquor::SetIdleTimeout(std::chrono::milliseconds timeout) {
    idleTimeout_ = timeout;
    const auto tick = std::clamp<std::chrono::milliseconds>(
        timeout / 4, std::chrono::milliseconds(100), std::chrono::milliseconds(30000));
    sweepTimer_.start(tick);
}

void modFalquor::SweepIdle() {
    const auto now = Clock::now();
    std::vector<int> idle;
    for (const auto& [socket, link] : links_) {
        if (link->state == Link::State::Open && link->output.empty() &&
            now - link->lastActivity >= idleTimeout_) {
            idle.push_back(socket);
        }
    }
    for (const int socket : idle) {
        CloseWhenFlushed(socket);
    }
}
