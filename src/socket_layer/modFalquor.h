#pragma once
// The socket layer: start-up of the socket library, the listening socket, and the line
// transmission of every connection with its trace. Each connection has its own line buffer
// and output queue; output never blocks and is never dropped, and a connection whose output
// backs up is not read from until it drains.

#include "socket_layer/line_buffer.h"
#include "socket_layer/output_queue.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class frmFalquorDialog;

// What the layer tells the owner of a connection. Both are called from the event loop, never
// from inside a call the owner made into the layer.
struct ConnectionHooks {
    std::function<void()> drained;  // output fell below the high-water mark after reaching it
    std::function<void()> closed;   // the socket is closed and the connection forgotten
};

// Why no further line can come from a connection.
enum class InputEnd { Open, PeerClosed, LineTooLong, Failed };

class modFalquor : public QObject {
    Q_OBJECT
public:
    static constexpr std::size_t kHighWater = 256 * 1024;
    static constexpr int kReadChunk = 4096;

    explicit modFalquor(QObject* parent = nullptr);
    ~modFalquor() override;

    bool StartWinSock();
    bool CreateSocket(int& socket, int port);
    bool CloseSocket(int& socket);

    // Adds one entry to the trace: prefix, " >", the text without its edge blanks, "<", CR LF.
    void AppendTrace(std::string_view prefix, std::string_view text);
    frmFalquorDialog& TraceWindow();

    // Takes on an accepted connection: from now on it has a line buffer and an output queue.
    void Attach(int socket, ConnectionHooks hooks);
    // Queues `text` (and CR LF unless `raw`) for the connection; False after a socket error.
    bool SendToSocket(int& socket, std::string_view text, int raw = 0);
    // Many lines at once: `lines` holds complete lines, each ending in CR LF and holding no
    // other CR or LF. Traced and queued exactly as if each had been sent on its own.
    bool SendLines(int& socket, std::string_view lines);
    // The next complete line without its CR LF; False when none can be had now.
    bool ReceiveFromSocket(int& socket, std::string& text);

    bool Congested(int socket) const;
    InputEnd InputState(int socket) const;
    std::size_t PendingOutput(int socket) const;
    // Closes the connection once its queued output has gone out.
    void CloseWhenFlushed(int socket);

    // Handles what belongs to the layer in a readiness event of a connection (writability,
    // reads of a connection being closed) and returns the event bits left for its owner.
    long OnSocketEvent(int socket, long events);
    // Writes queued output of every connection that has some; runs once per event-loop pass.
    void FlushAll();
    // After the socket library has been shut down: every connection is gone.
    void ForgetConnections();
    std::size_t OpenConnections() const { return links_.size(); }

    // A connection that sends no complete line and has no output pending for this long is
    // closed.
    void SetIdleTimeout(std::chrono::milliseconds timeout);

private:
    struct Link;
    using Clock = std::chrono::steady_clock;

    Link* Find(int socket) const;
    std::string_view SendPrefix(int socket, const Link* link);
    bool Queue(Link& link, std::string_view bytes);
    void TraceLines(std::string_view prefix, std::string_view lines);
    void ScheduleFlush(Link& link);
    void Write(Link& link);
    void Advance(Link& link);
    void DiscardInput(Link& link);
    void Finish(int socket);
    void SweepIdle();

    std::unique_ptr<frmFalquorDialog> traceWindow_;
    std::unordered_map<int, std::unique_ptr<Link>> links_;
    std::vector<int> dirty_;
    bool flushPosted_ = false;
    std::uint64_t serials_ = 0;
    std::chrono::milliseconds idleTimeout_ = std::chrono::minutes(10);
    QTimer sweepTimer_;
    std::string prefix_;  // scratch for trace prefixes
};
