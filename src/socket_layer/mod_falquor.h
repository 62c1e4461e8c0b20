#pragma once
// The socket layer: start-up of the socket library, the listening socket, and the line
// transmission of every connection with its trace. Each connection has its own line buffer,
// output queue and transport (plain or TLS), and one state that only Connection::Enter
// changes; output never blocks and is never dropped, and a connection whose output backs up
// is not read from until it drains.

#include "platform/ip_address.h"
#include "socket_layer/connection_host.h"
#include "socket_layer/deadlines.h"
#include "socket_layer/tls_context.h"
#include "socket_layer/trace.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class modFalquor : public QObject, private ConnectionHost {
    Q_OBJECT
public:
    // The message under which the platform reports a connection's socket events to the layer.
    static constexpr unsigned kConnectionMessage = 521;

    explicit modFalquor(QObject* parent = nullptr);
    ~modFalquor() override;

    bool StartWinSock();
    // A socket bound to `port` on `address` (by default 0.0.0.0, every IPv4 address); an IPv6
    // address gets an IPv6-only socket.
    bool CreateSocket(int& socket, int port, const platform::IpAddress& address = {});
    bool CloseSocket(int socket);
    // The listening sockets for `port` (0: any free port; every socket then shares the port the
    // first one got) on `addresses`, one each. None: every address, IPv6 and IPv4 alike, by one
    // dual-stack socket on "::"; or one socket per family where the system keeps IPv6 sockets
    // IPv6-only; or IPv4 alone where there is no IPv6. Empty when one could not be had. Needs
    // no event loop, so a program started as root can bind its ports before it gives up root
    // and before any toolkit starts.
    static std::vector<int> OpenListeners(int port,
                                          const std::vector<platform::IpAddress>& addresses);

    Trace& trace() { return trace_; }
    // Decides how a received line is traced: true, with `shown` set, for a line that must not
    // be traced as it came (a secret in it). None: every line as it came.
    using ReceivedTraceMask = bool (*)(std::string_view line, std::string& shown);
    void SetReceivedTraceMask(ReceivedTraceMask mask) { receivedMask_ = mask; }
    // Adds one entry to the trace: prefix, " >", the text without its edge blanks, "<", CR LF.
    void AppendTrace(std::string_view prefix, std::string_view text);
    // Traces what happened to a connection, as its own events are ("[n] what").
    void TraceNote(int socket, std::string_view what);

    // Takes on an accepted connection from `peer`: from now on it has a line buffer and an
    // output queue, and counts towards the connections from that address until it is closing.
    void Attach(int socket, ConnectionHooks hooks, const platform::IpAddress& peer = {});
    // Takes on a connection only to send it `line` and close it: it counts nowhere and tells
    // nobody.
    void Refuse(int socket, std::string_view line);
    // Starts reporting the connection's socket events to the layer. False when the platform
    // refuses; the connection then stays as it is, with nothing read from it.
    bool Watch(int socket);

    // Queues `text` and CR LF; False when the connection is gone or has failed.
    bool SendToSocket(int socket, std::string_view text);
    // Queues bytes without CR LF: the first pieces of a line too long to hold at once.
    bool SendPart(int socket, std::string_view bytes);
    // Many lines at once: `lines` holds complete lines, each ending in CR LF and holding no
    // other CR or LF. Traced and queued exactly as if each had been sent on its own.
    bool SendLines(int socket, std::string_view lines);
    // Queues `length` bytes of the open file `fd` from `offset`, sent as they are (no CR LF
    // added) after what is queued before them, by sendfile() on a plain connection. The layer
    // keeps its own duplicate of `fd` until the span is sent or the connection is gone, so the
    // caller may close its own at once. The span's lines are traced like sent lines (the
    // trace keeps only its last 30,000 bytes, so only the span's tail needs reading for that).
    // False when the connection is gone or has failed (as SendToSocket). Only for connections
    // where CanSendFile is true (elsewhere nothing is queued, and false returned).
    bool SendFileSpan(int socket, int fd, std::int64_t offset, std::int64_t length);
    // Queues the bytes of `pieces`, one after the other, without copying them: they must stay
    // valid while `keep` lives, which the layer holds until they are sent or the connection is
    // gone. Together they are complete lines, each ending in CR LF and holding no other CR or
    // LF, traced as sent lines. False when the connection is gone or has failed.
    bool SendBorrowed(int socket, std::span<const std::string_view> pieces,
                      const std::shared_ptr<const void>& keep);
    // True on a plain (not encrypted) connection: file spans can leave by sendfile.
    bool CanSendFile(int socket) const;
    // The next complete line without its CR LF; False when none can be had now.
    bool ReceiveFromSocket(int socket, std::string& text);
    // The next line received on `socket` is a secret whatever it says (a response in an
    // authentication exchange): the trace shows it as "****".
    void HideNextReceived(int socket);
    // Asks for another turn: the connection's ready hook runs once more in a coming pass
    // (the one route by which a conversation that yielded, or waits for a password check,
    // is resumed; a congested one is resumed by the drain the same way).
    void RequestTurn(int socket);

    // TLS: the settings every encrypted connection uses (none: TLS cannot be started).
    void SetTls(std::unique_ptr<TlsContext> context);
    bool TlsConfigured() const { return tls_ != nullptr; }
    bool Encrypted(int socket) const;
    // Encrypts everything queued on the connection from now on; what is queued already goes
    // out in clear first. Received bytes not yet served as lines are dropped: whatever follows
    // must come through TLS.
    void StartTls(int socket);

    bool Congested(int socket) const;
    InputEnd InputState(int socket) const;
    std::size_t PendingOutput(int socket) const;
    // Closes the connection once its queued output has gone out.
    void CloseWhenFlushed(int socket);
    // Closes every connection at once, telling nobody: the owner is shutting down.
    void CloseAll();
    std::size_t OpenConnections() const { return connections_.size(); }
    // Connections that are neither closing nor refused, in all and from one address.
    std::size_t ActiveConnections() const { return active_; }
    std::size_t ActiveConnectionsFrom(const platform::IpAddress& peer) const;
    // The address a connection was attached with; 0.0.0.0 when unknown.
    platform::IpAddress PeerAddress(int socket) const;

    // A connection that makes no progress for this long, in either direction, is closed:
    // no complete line received and no byte of its output taken by the client.
    void SetIdleTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds IdleTimeout() { return deadlines_.idleTimeout(); }
    // How long a TLS handshake may take at most (flow::kTlsHandshake); tests shorten it.
    void SetHandshakeLimit(std::chrono::milliseconds limit);

    // What one event-loop pass does: tell owners what happened, then write queued output.
    // Public so that tests and the fuzzer can run a pass without an event loop.
    void RunPass();
    // Handles a socket event of a connection, as the platform delivers it.
    void OnSocketEvent(int socket, long events);

protected:
    bool event(QEvent* event) override;

private:
    struct Notice {
        int socket;
        std::uint64_t serial;
        QPointer<QObject> context;
        // Set for a close, with its reason; a ready notice finds its connection.
        std::function<void(CloseReason)> closed;
        CloseReason reason;
    };

    Connection* Find(int socket) const;
    Connection& NewConnection(int socket);
    Connection* Sendable(int socket);
    std::string_view SentPrefix(const Connection* connection) const;
    void SchedulePass();

    // What a connection asks of the layer.
    void TraceEvent(const Connection& connection, std::string_view what) override;
    void NotifyReady(Connection& connection) override;
    void MarkDirty(Connection& connection) override;
    void StopCounting(Connection& connection) override;
    void Forget(Connection& connection) override;
    Deadlines& deadlines() override { return deadlines_; }

    Trace trace_;
    std::unique_ptr<TlsContext> tls_;
    std::unordered_map<int, std::unique_ptr<Connection>> connections_;
    Deadlines deadlines_;
    std::unordered_map<platform::IpAddress, std::size_t, platform::IpAddressHash> activeByPeer_;
    std::size_t active_ = 0;
    std::vector<int> dirty_;
    std::vector<Notice> notices_;
    bool passPosted_ = false;
    bool inPass_ = false;
    std::uint64_t serials_ = 0;
    std::string prefix_;  // scratch for trace prefixes
    std::string masked_;  // scratch for a masked received line
    ReceivedTraceMask receivedMask_ = nullptr;
};
