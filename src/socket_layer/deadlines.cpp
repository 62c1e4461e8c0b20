#include "socket_layer/deadlines.h"

#include "socket_layer/connection.h"
#include "socket_layer/flow_limits.h"

#include <algorithm>
#include <optional>

Deadlines::Deadlines() : handshakeLimit_(flow::kTlsHandshake) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Sweep(); });
}

void Deadlines::SetIdleTimeout(std::chrono::milliseconds timeout) {
    idleTimeout_ = timeout;
    Arm();
}

void Deadlines::SetHandshakeLimit(std::chrono::milliseconds limit) {
    handshakeLimit_ = limit;
    Arm();
}

std::chrono::milliseconds Deadlines::HandshakeDeadline() const {
    return std::min(handshakeLimit_, idleTimeout_);
}

void Deadlines::Add(Connection& connection) {
    DeadlineMarks& marks = connection.marks();
    marks.base = Clock::now();
    marks.place = activity_.insert(activity_.end(), &connection);
    if (!timer_.isActive()) {
        Arm();
    }
}

void Deadlines::Touch(Connection& connection) {
    DeadlineMarks& marks = connection.marks();
    if (!marks.lingering) {
        marks.base = Clock::now();
        activity_.splice(activity_.end(), activity_, marks.place);
    }
}

void Deadlines::Linger(Connection& connection) {
    DeadlineMarks& marks = connection.marks();
    if (marks.lingering) {
        return;
    }
    activity_.erase(marks.place);
    marks.lingering = true;
    marks.base = Clock::now() + flow::kLinger;
    marks.place = lingering_.insert(lingering_.end(), &connection);
    ArmBefore(flow::kLinger);
}

void Deadlines::StartHandshake(Connection& connection) {
    DeadlineMarks& marks = connection.marks();
    if (marks.handshaking) {
        return;
    }
    marks.handshaking = true;
    marks.handshakeStart = Clock::now();
    marks.handshakePlace = handshaking_.insert(handshaking_.end(), &connection);
    ArmBefore(HandshakeDeadline());
}

void Deadlines::EndHandshake(Connection& connection) {
    DeadlineMarks& marks = connection.marks();
    if (marks.handshaking) {
        marks.handshaking = false;
        handshaking_.erase(marks.handshakePlace);
    }
}

void Deadlines::Remove(Connection& connection) {
    DeadlineMarks& marks = connection.marks();
    (marks.lingering ? lingering_ : activity_).erase(marks.place);
    EndHandshake(connection);
}

void Deadlines::Clear() {
    activity_.clear();
    lingering_.clear();
    handshaking_.clear();
}

void Deadlines::Sweep() {
    const auto now = Clock::now();
    while (!lingering_.empty() && lingering_.front()->marks().base <= now) {
        lingering_.front()->Enter(ConnectionState::Closed);
    }
    while (!handshaking_.empty() &&
           now - handshaking_.front()->marks().handshakeStart >= HandshakeDeadline()) {
        handshaking_.front()->Enter(ConnectionState::Closed,
                                    idleTimeout_ <= handshakeLimit_
                                        ? "closed: idle timeout in the TLS handshake"
                                        : "closed: TLS handshake timeout",
                                    CloseReason::TlsHandshakeTimeout);
    }
    while (!activity_.empty() && now - activity_.front()->marks().base >= idleTimeout_) {
        Connection& connection = *activity_.front();
        if (connection.transport().InHandshake() && connection.state() != ConnectionState::Failed) {
            connection.Enter(ConnectionState::Closed, "closed: idle timeout in the TLS handshake",
                             CloseReason::TlsHandshakeTimeout);
        } else {
            connection.IdleOver();  // closes it or moves it to the back
        }
    }
    Arm();
}

// Arms the timer if it would otherwise fire later than `wait` from now.
void Deadlines::ArmBefore(std::chrono::milliseconds wait) {
    if (!timer_.isActive() || timer_.remainingTimeAsDuration() > wait) {
        Arm();
    }
}

void Deadlines::Arm() {
    std::optional<Clock::time_point> next;
    if (!lingering_.empty()) {
        next = lingering_.front()->marks().base;
    }
    if (!activity_.empty()) {
        const auto idleEnd = activity_.front()->marks().base + idleTimeout_;
        next = next ? std::min(*next, idleEnd) : idleEnd;
    }
    if (!handshaking_.empty()) {
        const auto handshakeEnd =
            handshaking_.front()->marks().handshakeStart + HandshakeDeadline();
        next = next ? std::min(*next, handshakeEnd) : handshakeEnd;
    }
    if (!next) {
        timer_.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
    timer_.start(std::max(wait, std::chrono::milliseconds(0)));
}
