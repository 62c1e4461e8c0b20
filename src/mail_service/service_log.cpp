#include "mail_service/service_log.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <charconv>
#include <cstdio>

namespace {

constexpr std::string_view kPrefix = "drennik: event=";
// Gathered lines are written once this many bytes wait, whatever the delay.
constexpr std::size_t kGatheredBytes = 16 * 1024;
constexpr char kHex[] = "0123456789ABCDEF";

// Bytes that stand for themselves in a value: printable ASCII but the escape, the quote and
// '='. A blank stands for itself too, inside quotes.
bool Plain(unsigned char c) {
    return c >= 0x20 && c < 0x7f && c != '"' && c != '\\' && c != '=';
}

// Qt's messages may come from any thread.
std::atomic<ServiceLog*> routedTo{nullptr};

void RouteQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    ServiceLog* log = routedTo.load();
    if (log == nullptr) {
        return;
    }
    const bool severe = type == QtCriticalMsg || type == QtFatalMsg;
    const LogLevel level = severe ? LogLevel::Error : LogLevel::Debug;
    if (!log->Wants(level)) {
        return;  // Qt aborts after a fatal message whether it is shown or not
    }
    std::string_view kind = "debug";
    switch (type) {
        case QtDebugMsg:
            break;
        case QtInfoMsg:
            kind = "info";
            break;
        case QtWarningMsg:
            kind = "warning";
            break;
        case QtCriticalMsg:
            kind = "critical";
            break;
        case QtFatalMsg:
            kind = "fatal";
            break;
    }
    const QByteArray bytes = text.toUtf8();
    log->Write(level, LogLine("qt")
                          .Add("kind", kind)
                          .Add("text", std::string_view(bytes.constData(),
                                                        static_cast<std::size_t>(bytes.size()))));
    if (type == QtFatalMsg) {
        log->Flush();  // the program ends when this returns
    }
}

}  // namespace

std::optional<LogLevel> ParseLogLevel(std::string_view name) {
    for (const LogLevel level :
         {LogLevel::Error, LogLevel::Warning, LogLevel::Info, LogLevel::Debug}) {
        if (name == LogLevelName(level)) {
            return level;
        }
    }
    return std::nullopt;
}

std::string_view LogLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "error";
        case LogLevel::Warning:
            return "warning";
        case LogLevel::Info:
            return "info";
        case LogLevel::Debug:
            return "debug";
    }
    return "info";
}

void AppendLogValue(std::string& out, std::string_view value) {
    bool plain = !value.empty();
    bool blank = false;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        blank = blank || byte == ' ';
        plain = plain && Plain(byte) && byte != ' ';
    }
    if (plain) {
        out.append(value);  // the common case: a name, a number, an address
        return;
    }
    const bool quoted = value.empty() || blank;
    if (quoted) {
        out += '"';
    }
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (Plain(byte)) {
            out += c;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    if (quoted) {
        out += '"';
    }
}

void AppendLogAddress(std::string& out, const platform::IpAddress& address, int port) {
    address.AppendWithPort(out, port);
}

LogLine::LogLine(std::string_view event) {
    text_.reserve(200);
    text_.append(kPrefix);
    text_.append(event);
}

void LogLine::Key(std::string_view key) {
    text_ += ' ';
    text_.append(key);
    text_ += '=';
}

LogLine& LogLine::Add(std::string_view key, std::string_view value) {
    Key(key);
    AppendLogValue(text_, value);
    return *this;
}

LogLine& LogLine::Add(std::string_view key, std::int64_t value) {
    Key(key);
    char digits[24];
    text_.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    return *this;
}

LogLine& LogLine::AddYesNo(std::string_view key, bool yes) {
    Key(key);
    text_.append(yes ? "yes" : "no");
    return *this;
}

LogLine& LogLine::AddAddress(std::string_view key, const platform::IpAddress& address, int port) {
    Key(key);
    AppendLogAddress(text_, address, port);
    return *this;
}

ServiceLog::ServiceLog()
    : ServiceLog([](std::string_view lines) {
          // One call for whole lines: standard error is unbuffered, so this is one write and
          // lines from several threads never mix.
          std::fwrite(lines.data(), 1, lines.size(), stderr);
      }) {}

ServiceLog::ServiceLog(Sink sink) : sink_(std::move(sink)) {
    flushTimer_.setSingleShot(true);
    flushTimer_.callOnTimeout([this] { Flush(); });
}

ServiceLog::~ServiceLog() {
    if (!gathered_.empty()) {
        sink_(gathered_);
    }
}

void ServiceLog::Gather(std::chrono::milliseconds delay) {
    flushTimer_.setInterval(delay);
    gathering_ = true;
}

bool ServiceLog::OnGatheringThread() const {
    return QThread::currentThread() == flushTimer_.thread();
}

void ServiceLog::Flush() {
    if (!OnGatheringThread()) {
        return;  // what is gathered belongs to that thread; it writes it soon
    }
    flushTimer_.stop();
    if (!gathered_.empty()) {
        sink_(gathered_);
        gathered_.clear();
    }
}

void ServiceLog::Write(LogLevel level, LogLine& line) {
    if (!Wants(level)) {
        return;
    }
    line.text_ += '\n';
    if (gathering_ && OnGatheringThread()) {
        gathered_ += line.text_;
        if (gathered_.size() >= kGatheredBytes) {
            Flush();
        } else if (!flushTimer_.isActive()) {
            flushTimer_.start();
        }
    } else {
        sink_(line.text_);
    }
    line.text_.pop_back();
}

QtMessageRoute::QtMessageRoute(ServiceLog& log) {
    routedTo = &log;
    previous_ = qInstallMessageHandler(RouteQtMessage);
}

QtMessageRoute::~QtMessageRoute() {
    qInstallMessageHandler(previous_);
    routedTo = nullptr;
}
