#pragma once
// The socket layer: start-up of the socket library, the listening socket, and the line
// transmission of every connection with its trace. Each connection has its own line buffer,
// output queue and one explicit state; output never blocks and is never dropped, and a
// connection whose output backs up is not read from until it drains.

#include "socket_layer/line_buffer.h"
#include "socket_layer/output_queue.h"
#include "socket_layer/tls_context.h"
#include "socket_layer/trace.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What the layer tells the owner of a connection. Hooks run from the event loop, one at a time,
// never inside a call the owner made into the layer, and never once `context` is destroyed.
struct ConnectionHooks {
    QObject* context = nullptr;
    // Something to do: a line is ready, the input has ended, or congested output has drained.
    std::function<void()> ready;
    // The connection is closed and forgotten.
    std::function<void()> closed;
};

// Why no further line can come from a connection; None while more may come.
enum class InputEnd { None, PeerClosed, LineTooLong, Failed };

class modFalquor : public QObject {
    Q_OBJECT
public:
    // The message under which the platform reports a connection's socket events to the layer.
    static constexpr unsigned kConnectionMessage = 521;

    explicit modFalquor(QObject* parent = nullptr);
    ~modFalquor() override;

    bool StartWinSock();
    // `address`: an IPv4 address in network order; 0 (the default) is every local address.
    bool CreateSocket(int& socket, int port, std::uint32_t address = 0);
    bool CloseSocket(int socket);
    // A listening socket on `port` (0: any free port) and `address` (IPv4, network order; 0:
    // every address), or kInvalidSocket. Needs no event loop, so a program started as root can
    // bind its ports before it gives up root and before any toolkit starts.
    static int OpenListener(int port, std::uint32_t address);

    Trace& trace() { return trace_; }
    // Decides how a received line is traced: true, with `shown` set, for a line that must not
    // be traced as it came (a secret in it). None: every line as it came.
    using ReceivedTraceMask = bool (*)(std::string_view line, std::string& shown);
    void SetReceivedTraceMask(ReceivedTraceMask mask) { receivedMask_ = mask; }
    // Adds one entry to the trace: prefix, " >", the text without its edge blanks, "<", CR LF.
    void AppendTrace(std::string_view prefix, std::string_view text);

    // Takes on an accepted connection from `peer` (an IPv4 address): from now on it has a line
    // buffer and an output queue, and counts towards the connections from that address until
    // it is closing.
    void Attach(int socket, ConnectionHooks hooks, std::uint32_t peer = 0);
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
    // The next complete line without its CR LF; False when none can be had now.
    bool ReceiveFromSocket(int socket, std::string& text);

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
    std::size_t OpenConnections() const { return links_.size(); }
    // Connections that are neither closing nor refused, in all and from one address.
    std::size_t ActiveConnections() const { return active_; }
    std::size_t ActiveConnectionsFrom(std::uint32_t peer) const;
    // The IPv4 address (network order) a connection was attached with; 0 when unknown.
    std::uint32_t PeerAddress(int socket) const;

    // A connection that makes no progress for this long, in either direction, is closed:
    // no complete line received and no byte of its output taken by the client.
    void SetIdleTimeout(std::chrono::milliseconds timeout);
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
    struct Link;
    using Clock = std::chrono::steady_clock;
    enum class State { Open, InputEnded, Closing, Lingering };
    struct Notice {
        int socket;
        std::uint64_t serial;
        QPointer<QObject> context;
        std::function<void()> closed;  // set for a close; a ready notice finds its link
    };

    Link* Find(int socket) const;
    Link& NewLink(int socket);
    Link* Sendable(int socket);
    std::string_view SentPrefix(const Link* link) const;
    void NothingRead(Link& link, int result);
    // The one place a connection changes state; transitions worth a reader's notice are
    // written to the trace.
    void Enter(Link& link, State state, InputEnd why = InputEnd::None);
    // The one place a connection is closed and forgotten.
    void Close(Link& link, std::string_view why);
    bool Queue(Link& link, std::string_view bytes);
    void Fill(Link& link);
    bool ReadMore(Link& link);
    bool ReadMoreTls(Link& link);
    void Write(Link& link);
    void WriteTls(Link& link);
    void SendStopped(Link& link, int sent);
    bool OutputGone(const Link& link) const;
    void Advance(Link& link);
    void DiscardInput(Link& link);
    void Touch(Link& link);
    void TraceEvent(const Link& link, std::string_view what);
    void StopCounting(Link& link);

    void NotifyReady(Link& link);
    void MarkDirty(Link& link);
    void SchedulePass();
    void ExpireDeadlines();
    void ArmDeadlineTimer();
    std::chrono::milliseconds HandshakeDeadline() const;

    Trace trace_;
    std::unique_ptr<TlsContext> tls_;
    std::unordered_map<int, std::unique_ptr<Link>> links_;
    // Open connections by last progress, oldest first; lingering ones by when they end. Both
    // orders are deadline orders, so the sweep looks only at the front.
    std::list<Link*> byActivity_;
    std::list<Link*> lingering_;
    // Connections in the TLS handshake, by when it began: one limit for all, so also by deadline.
    std::list<Link*> handshaking_;
    std::unordered_map<std::uint32_t, std::size_t> activeByPeer_;
    std::size_t active_ = 0;
    std::vector<int> dirty_;
    std::vector<Notice> notices_;
    bool passPosted_ = false;
    bool inPass_ = false;
    std::uint64_t serials_ = 0;
    std::chrono::milliseconds idleTimeout_ = std::chrono::minutes(10);
    std::chrono::milliseconds handshakeLimit_;
    QTimer deadlineTimer_;
    std::string prefix_;  // scratch for trace prefixes
    std::string masked_;  // scratch for a masked received line
    ReceivedTraceMask receivedMask_ = nullptr;
};
