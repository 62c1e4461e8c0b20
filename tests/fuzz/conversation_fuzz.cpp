// Feeds arbitrary byte streams, cut into arbitrary reads, through the socket layer's line
// framing and one connection's POP3 conversation over a small maildrop, and checks after each
// input what must always hold: the snapshot's lists stay parallel and counted, nothing outside
// the maildrop root is touched, and every reply line ends in CR LF.
//
// The first 8 bytes of an input seed the cut points; the rest is what the client sends.

#include <QCoreApplication>
#include "mail_service/conversation.h"
#include "mail_service/socket_channel.h"
#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct World {
    fs::path base;
    fs::path root;
    fs::path canary;
    modFalquor* falquor = nullptr;
};

World& world() {
    static World w;
    return w;
}

void Write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// The messages a session may read and delete; put back whenever QUIT took them.
void RestoreMaildrop() {
    const fs::path user = world().root / "u";
    const std::pair<const char*, const char*> messages[] = {
        {"1", "Subject: a\r\n\r\nbody\r\n.\r\n..two\r\n"},
        {"2", "lf\nonly\ncr\rmix\r\n.last"},
        {"3", ""},
    };
    for (const auto& [name, content] : messages) {
        if (!fs::exists(user / name)) {
            Write(user / name, content);
        }
    }
}

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::string ReadAvailable(int fd) {
    std::string out;
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// Lets the connection run until it waits for the client: output flushed, streams finished.
void Settle(Conversation& conversation, int peer, std::string& output) {
    for (int round = 0; round < 10000; ++round) {
        world().falquor->RunPass();
        output += ReadAvailable(peer);
        if (!conversation.Streaming()) {
            world().falquor->RunPass();
            output += ReadAvailable(peer);
            return;
        }
        conversation.Serve();
    }
    Broken("a reply never finished");
}

void CheckSlot(const ConnectionSlot& slot) {
    const auto n = static_cast<std::size_t>(slot.MessageCount());
    if (slot.marks.size() != n) {
        Broken("the snapshot's lists are not parallel");
    }
    if (!slot.totalCount.empty() && slot.totalCount != std::to_string(n)) {
        Broken("the count is not the length of the lists");
    }
}

void CheckOutput(const std::string& output) {
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\n' && (i == 0 || output[i - 1] != '\r')) {
            Broken("a reply line without CR before its LF");
        }
        if (output[i] == '\r' && (i + 1 >= output.size() || output[i + 1] != '\n')) {
            Broken("a CR in a reply that does not end its line");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    World& w = world();
    w.base = fs::temp_directory_path() / ("drennik-fuzz-" + std::to_string(::getpid()));
    w.root = w.base / "root";
    fs::create_directories(w.root / "u");
    fs::create_directories(w.base / "outside");
    w.canary = w.base / "outside" / "canary";
    Write(w.canary, "canary");
    fs::create_symlink(w.base / "outside", w.root / "link");
    RestoreMaildrop();
    platform::WSAData data;
    platform::WSAStartup(0x0101, &data);
    w.falquor = new modFalquor();
    std::atexit([] { fs::remove_all(world().base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t seed = 0x9e3779b97f4a7c15ULL;
    const std::size_t seedBytes = size < 8 ? size : 8;
    for (std::size_t i = 0; i < seedBytes; ++i) {
        seed = seed * 131 + data[i];
    }
    const char* stream = reinterpret_cast<const char*>(data) + seedBytes;
    std::size_t remaining = size - seedBytes;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return 0;
    }
    const int peer = ends[1];
    int socket = ends[0];
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);  // as accepted sockets are
    platform::AdoptSocketForTesting(socket);
    RestoreMaildrop();
    const MaildropStore store(world().root.string());
    ConnectionSlot slot;
    bool closed = false;
    SocketChannel channel(*world().falquor, socket);
    Conversation conversation(slot, channel, store, [] {});
    QObject owner;
    world().falquor->Attach(
        socket, ConnectionHooks{&owner, [&] { conversation.Serve(); }, [&] { closed = true; }});
    std::string output;
    while (remaining > 0) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::size_t cut = 1 + (seed >> 33) % 64;
        const std::size_t piece = cut < remaining ? cut : remaining;
        if (::send(peer, stream, piece, MSG_NOSIGNAL) != static_cast<ssize_t>(piece)) {
            break;
        }
        stream += piece;
        remaining -= piece;
        conversation.Serve();
        Settle(conversation, peer, output);
        CheckSlot(slot);
    }
    ::shutdown(peer, SHUT_WR);
    for (int round = 0; round < 100 && !closed; ++round) {
        // What the event loop would deliver: the socket is readable (end of stream) and
        // writable.
        world().falquor->OnSocketEvent(socket, platform::FD_READ | platform::FD_WRITE);
        if (closed) {
            break;
        }
        conversation.Serve();
        Settle(conversation, peer, output);
    }
    if (!closed) {
        Broken("the connection was not closed after the client's end");
    }
    CheckSlot(slot);
    CheckOutput(output);
    if (!fs::exists(world().canary) || fs::file_size(world().canary) != 6) {
        Broken("a file outside the maildrop root was touched");
    }
    if (world().falquor->trace().size() > 30000) {
        Broken("the trace outgrew its limit");
    }
    ::close(peer);
    // What the event loop would run next: posted flushes, expired timers. Without this they
    // would pile up across inputs.
    QCoreApplication::processEvents();
    return 0;
}
