#include "mail_service/service_events.h"

#include "mail_service/maildrop.h"

#include <algorithm>
#include <cstring>

namespace {

bool Wanted(const ServiceLog* log, LogLevel level) {
    return log != nullptr && log->Wants(level);
}

// "conn" and "client", which begin every line about a connection.
LogLine ConnectionLine(std::string_view event, const ConnectionSlot& slot) {
    LogLine line(event);
    line.Add("conn", slot.number).AddAddress("client", slot.peerAddress, slot.peerPort);
    return line;
}

// A close reason as the log names it: the words the README documents and ban filters match.
std::string_view CloseWord(CloseReason reason) {
    switch (reason) {
        case CloseReason::PeerClosed:
            return "peer-closed";
        case CloseReason::LineTooLong:
            return "overlong-line";
        case CloseReason::Reset:
            return "reset";
        case CloseReason::TlsFailure:
            return "tls-failure";
        case CloseReason::TlsHandshakeTimeout:
            return "tls-handshake-timeout";
        case CloseReason::Idle:
            return "idle";
        case CloseReason::StalledOutput:
            return "stalled-output";
        case CloseReason::Server:
        case CloseReason::Unknown:
            break;
    }
    return "unknown";
}

std::size_t MarkCount(const ConnectionSlot& slot) {
    return static_cast<std::size_t>(std::count(slot.marks.begin(), slot.marks.end(), 'D'));
}

}  // namespace

void LogStart(ServiceLog* log, const StartFacts& facts) {
    if (!Wanted(log, LogLevel::Info)) {
        return;
    }
    LogLine line("start");
    line.Add("version", facts.version)
        .Add("pid", static_cast<std::int64_t>(facts.pid))
        .Add("user", facts.user)
        .Add("root", facts.root)
        .AddYesNo("tls", facts.tls);
    if (facts.tls) {
        line.Add("fingerprint", facts.fingerprint);
    }
    line.AddYesNo("require-tls", facts.requireTls).Add("log-level", LogLevelName(log->Level()));
    log->Write(LogLevel::Info, line);
}

void LogListening(ServiceLog* log, std::string_view listener, const platform::IpAddress& address,
                  int port, std::string_view tls) {
    if (!Wanted(log, LogLevel::Info)) {
        return;
    }
    log->Write(LogLevel::Info, LogLine("listen")
                                   .Add("listener", listener)
                                   .AddAddress("address", address, port)
                                   .Add("tls", tls));
}

void LogStop(ServiceLog* log, std::size_t openConnections) {
    if (Wanted(log, LogLevel::Info)) {
        log->Write(LogLevel::Info,
                   LogLine("stop").Add("open", static_cast<std::int64_t>(openConnections)));
    }
}

void LogAccepted(ServiceLog* log, const ConnectionSlot& slot, std::string_view listener) {
    if (Wanted(log, LogLevel::Info)) {
        LogLine line = ConnectionLine("accept", slot);
        line.Add("listener", listener);
        if (slot.proxied) {
            line.AddAddress("proxy", slot.proxyAddress, slot.proxyPort);
        }
        log->Write(LogLevel::Info, line);
    }
}

void LogRefused(ServiceLog* log, const platform::IpAddress& address, int port,
                std::string_view listener, std::string_view limit) {
    if (!Wanted(log, LogLevel::Warning)) {
        return;
    }
    log->Write(LogLevel::Warning, LogLine("refuse")
                                      .AddAddress("client", address, port)
                                      .Add("listener", listener)
                                      .Add("limit", limit));
}

void LogProxyRefused(ServiceLog* log, const platform::IpAddress& address, int port,
                     std::string_view listener, std::string_view why) {
    if (!Wanted(log, LogLevel::Warning)) {
        return;
    }
    log->Write(LogLevel::Warning, LogLine("proxy-refused")
                                      .AddAddress("proxy", address, port)
                                      .Add("listener", listener)
                                      .Add("reason", why));
}

void LogClosed(ServiceLog* log, const ConnectionSlot& slot, CloseReason reason) {
    if (Wanted(log, LogLevel::Info)) {
        log->Write(LogLevel::Info, ConnectionLine("close", slot).Add("reason", CloseWord(reason)));
    }
}

void LogLogin(ServiceLog* log, const ConnectionSlot& slot, std::string_view method, bool tls) {
    if (!Wanted(log, LogLevel::Info)) {
        return;
    }
    log->Write(LogLevel::Info, ConnectionLine("login", slot)
                                   .Add("user", slot.user)
                                   .Add("method", method)
                                   .AddYesNo("tls", tls));
}

void LogLoginFailed(ServiceLog* log, const ConnectionSlot& slot, std::string_view method, bool tls,
                    std::string_view reason, std::optional<std::chrono::milliseconds> waited) {
    if (!Wanted(log, LogLevel::Warning)) {
        return;
    }
    // The fields a ban filter reads come first and in a fixed order: conn, client, user.
    const bool cut = slot.userTooLong || slot.user.size() > kLoggedUserNameBytes;
    LogLine line = ConnectionLine("login-failed", slot);
    line.Add("user", std::string_view(slot.user).substr(0, kLoggedUserNameBytes))
        .Add("method", method)
        .AddYesNo("tls", tls)
        .Add("reason", reason);
    if (cut) {
        line.AddYesNo("user-cut", true);
    }
    if (waited) {
        line.Add("delay-ms", static_cast<std::int64_t>(waited->count()));
    }
    log->Write(LogLevel::Warning, line);
}

void LogLoginRefused(ServiceLog* log, ConnectionSlot& slot, std::string_view method,
                     std::string_view reason) {
    if (slot.loginRefusalLogged || !Wanted(log, LogLevel::Warning)) {
        return;
    }
    slot.loginRefusalLogged = true;
    log->Write(LogLevel::Warning,
               ConnectionLine("login-refused", slot).Add("method", method).Add("reason", reason));
}

void LogLogout(ServiceLog* log, ConnectionSlot& slot, const MarkedRemoval* quit) {
    if (slot.loggedOut) {
        return;
    }
    slot.loggedOut = true;
    if (!Wanted(log, LogLevel::Info)) {
        return;
    }
    const std::size_t deleted = quit != nullptr ? quit->removed : 0;
    const std::size_t unhonoured = quit != nullptr ? quit->gone + quit->failed : MarkCount(slot);
    LogLine line = ConnectionLine("logout", slot);
    line.Add("user", slot.owner)
        .AddYesNo("quit", quit != nullptr)
        .Add("retrieved", slot.retrieved)
        .Add("bytes", slot.retrievedBytes)
        .Add("deleted", static_cast<std::int64_t>(deleted))
        .Add("unhonoured", static_cast<std::int64_t>(unhonoured));
    if (unhonoured > 0) {
        // Marks are honoured only at QUIT, and then only on the very files the client saw.
        std::string_view why = "no-quit";
        if (quit != nullptr) {
            why = quit->failed == 0 ? "gone" : quit->gone == 0 ? "failed" : "gone+failed";
        }
        line.Add("why", why);
    }
    log->Write(LogLevel::Info, line);
}

void LogMaildropError(ServiceLog* log, const ConnectionSlot& slot, std::string_view operation,
                      std::string_view file, int error, std::size_t failed) {
    if (!Wanted(log, LogLevel::Error)) {
        return;
    }
    LogLine line = ConnectionLine("maildrop-error", slot);
    line.Add("user", slot.owner).Add("op", operation);
    if (!file.empty()) {
        line.Add("file", file);
    }
    if (failed != 1) {
        line.Add("failed", static_cast<std::int64_t>(failed));
    }
    line.Add("error", error != 0 ? std::string_view(std::strerror(error)) : "unknown");
    log->Write(LogLevel::Error, line);
}

void LogDelivered(ServiceLog* log, const ConnectionSlot& slot, std::string_view stored,
                  std::int64_t size) {
    if (!Wanted(log, LogLevel::Info)) {
        return;
    }
    log->Write(LogLevel::Info, ConnectionLine("deliver", slot)
                                   .Add("user", stored.substr(0, stored.find('/')))
                                   .Add("size", size)
                                   .Add("stored", stored));
}

void LogDeliveryRefused(ServiceLog* log, const ConnectionSlot& slot, std::string_view recipient,
                        std::int64_t size, std::string_view reason, int error) {
    if (!Wanted(log, LogLevel::Warning)) {
        return;
    }
    LogLine line = ConnectionLine("deliver-refused", slot);
    if (!recipient.empty()) {
        line.Add("recipient", recipient.substr(0, kShownRequestLength));
    }
    if (size >= 0) {
        line.Add("size", size);
    }
    line.Add("reason", reason);
    if (error != 0) {
        line.Add("error", std::string_view(std::strerror(error)));
    }
    log->Write(LogLevel::Warning, line);
}
