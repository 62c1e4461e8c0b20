#pragma once
// The time limits of connections: the idle timeout (no progress in either direction), the
// linger after a close, and the limit of a handshake. Each is kept as an order of connections
// by deadline, so a sweep looks only at the fronts, and one timer is armed for the earliest.

#include <QTimer>

#include <chrono>
#include <list>

class Connection;

// Where a connection stands in the orders.
struct DeadlineMarks {
    using Clock = std::chrono::steady_clock;
    // Open and closing connections: the last progress; lingering ones: when the linger ends.
    Clock::time_point base;
    std::list<Connection*>::iterator place;  // in the activity or the linger order
    bool lingering = false;
    Clock::time_point handshakeStart;
    std::list<Connection*>::iterator handshakePlace;
    bool handshaking = false;
};

class Deadlines {
public:
    using Clock = DeadlineMarks::Clock;

    Deadlines();
    Deadlines(const Deadlines&) = delete;
    Deadlines& operator=(const Deadlines&) = delete;

    void SetIdleTimeout(std::chrono::milliseconds timeout);
    void SetHandshakeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds idleTimeout() const { return idleTimeout_; }

    // A new connection, whose idle time starts now.
    void Add(Connection& connection);
    // Progress: the idle time starts again.
    void Touch(Connection& connection);
    // From the idle order to the linger order: closed when the linger is over.
    void Linger(Connection& connection);
    void StartHandshake(Connection& connection);
    void EndHandshake(Connection& connection);
    void Remove(Connection& connection);
    // Forgets every connection at once, telling none.
    void Clear();

    // Acts on every deadline that has passed, then arms the timer for the next.
    void Sweep();

private:
    std::chrono::milliseconds HandshakeDeadline() const;
    void Arm();
    void ArmBefore(std::chrono::milliseconds wait);

    // Open connections by last progress, oldest first; lingering ones by when they end; those
    // in a handshake by when it began (one limit for all, so also by deadline).
    std::list<Connection*> activity_;
    std::list<Connection*> lingering_;
    std::list<Connection*> handshaking_;
    std::chrono::milliseconds idleTimeout_ = std::chrono::minutes(10);
    std::chrono::milliseconds handshakeLimit_;
    QTimer timer_;
};
