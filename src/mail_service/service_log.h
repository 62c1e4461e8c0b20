#pragma once
// The operator's log: one line per event, "drennik: event=NAME key=value ...", on standard
// error unless another sink is given (tests capture the lines). Every value is escaped, so
// nothing a client sends can end a line early or pass for a field of its own: printable ASCII
// stays as it is; a value with a blank, or an empty one, is quoted; '"' and '\' are escaped
// with '\'; CR, LF and TAB become \r, \n and \t; '=', other control bytes, DEL and 8-bit bytes
// become \xHH. A line is therefore always one line of ASCII, and "key=" only ever begins a
// field. The format is documented in the README ("The log").

#include "platform/ip_address.h"

#include <QTimer>
#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

enum class LogLevel : std::uint8_t { Error, Warning, Info, Debug };

// "error", "warning", "info", "debug"; nothing for any other name.
std::optional<LogLevel> ParseLogLevel(std::string_view name);
std::string_view LogLevelName(LogLevel level);

// Appends `value` to `out` escaped as a field value (see above).
void AppendLogValue(std::string& out, std::string_view value);
// Appends an address and a port as "a.b.c.d:port" or "[2001:db8::5]:port".
void AppendLogAddress(std::string& out, const platform::IpAddress& address, int port);

// One line being made: "drennik: event=NAME", then the fields in the order they are added.
class LogLine {
public:
    explicit LogLine(std::string_view event);

    // The value escaped.
    LogLine& Add(std::string_view key, std::string_view value);
    LogLine& Add(std::string_view key, std::int64_t value);
    LogLine& Add(std::string_view key, int value) { return Add(key, std::int64_t{value}); }
    LogLine& AddYesNo(std::string_view key, bool yes);
    // "a.b.c.d:port".
    LogLine& AddAddress(std::string_view key, const platform::IpAddress& address, int port);

    std::string_view Text() const { return text_; }

private:
    friend class ServiceLog;
    void Key(std::string_view key);

    std::string text_;
};

class ServiceLog {
public:
    // Takes whole lines, each with its LF (several at once once lines are gathered), to be
    // written at once. Must be safe to call from any thread: Qt's messages may come from the
    // password-check workers.
    using Sink = std::function<void(std::string_view lines)>;

    // Lines go to standard error.
    ServiceLog();
    explicit ServiceLog(Sink sink);
    // Writes what is gathered.
    ~ServiceLog();
    ServiceLog(const ServiceLog&) = delete;
    ServiceLog& operator=(const ServiceLog&) = delete;

    // From now on lines written on this thread are gathered and written together, at most
    // `delay` after the first of them, or at once when many wait: a busy server then wakes
    // whoever reads standard error (the journal) once per batch rather than once per line.
    // Needs this thread's event loop. Lines from other threads are still written at once.
    void Gather(std::chrono::milliseconds delay);
    // Writes what is gathered now.
    void Flush();

    // Lines of a level above this one (less severe) are dropped; info by default.
    void SetLevel(LogLevel level) { level_.store(level, std::memory_order_relaxed); }
    LogLevel Level() const { return level_.load(std::memory_order_relaxed); }
    // Whether a line of `level` would be written: check before making one.
    bool Wants(LogLevel level) const { return level <= Level(); }

    // Writes the line, ended by LF, if its level is wanted.
    void Write(LogLevel level, LogLine& line);
    void Write(LogLevel level, LogLine&& line) { Write(level, line); }

private:
    bool OnGatheringThread() const;

    Sink sink_;
    std::atomic<LogLevel> level_{LogLevel::Info};
    bool gathering_ = false;
    std::string gathered_;  // touched only by the thread that gathers
    QTimer flushTimer_;
};

// While it lives, Qt's own messages go to `log`: errors (critical, fatal) at error, everything
// else (its warnings about runtime folders, fonts, platform plugins) at debug, so a normal run
// shows none of them. The handler that was installed before is put back when it goes.
class QtMessageRoute {
public:
    explicit QtMessageRoute(ServiceLog& log);
    ~QtMessageRoute();
    QtMessageRoute(const QtMessageRoute&) = delete;
    QtMessageRoute& operator=(const QtMessageRoute&) = delete;

private:
    QtMessageHandler previous_;
};
