#pragma once
// What the socket layer tells the owner of a connection, and what a connection asks of the
// layer that holds it.

#include "socket_layer/close_reason.h"

#include <QObject>

#include <functional>
#include <string_view>

// What the layer tells the owner of a connection. Hooks run from the event loop, one at a time,
// never inside a call the owner made into the layer, and never once `context` is destroyed.
struct ConnectionHooks {
    QObject* context = nullptr;
    // Something to do: a line is ready, the input has ended, congested output has drained, or
    // the owner asked for another turn.
    std::function<void()> ready;
    // The connection is closed and forgotten, for the reason given.
    std::function<void(CloseReason)> closed;
};

// Why no further line can come from a connection; None while more may come.
enum class InputEnd { None, PeerClosed, LineTooLong, Failed };

class Connection;
class Deadlines;

class ConnectionHost {
public:
    // One trace entry about the connection: "[" socket "]", " >", `what`, "<".
    virtual void TraceEvent(const Connection& connection, std::string_view what) = 0;
    // Queues the owner's ready hook for a coming pass (once, until it has run).
    virtual void NotifyReady(Connection& connection) = 0;
    // Queues the connection for this pass's writes.
    virtual void MarkDirty(Connection& connection) = 0;
    // It is closing: it no longer counts among the active connections.
    virtual void StopCounting(Connection& connection) = 0;
    // Its socket is closed: the owner is told, and the connection destroyed.
    virtual void Forget(Connection& connection) = 0;
    virtual Deadlines& deadlines() = 0;

protected:
    ~ConnectionHost() = default;
};
