#pragma once
// The trace file: every trace entry appended to a file as it happens, all of them, whatever
// the ring keeps. Entries are gathered and written once per event-loop pass, or at once when
// many wait, so a busy server makes few writes and holds little; a write that fails drops what
// was gathered rather than holding it, and is reported once until a write succeeds again.

#include "socket_layer/trace.h"

#include <QTimer>

#include <functional>
#include <string>
#include <string_view>

class TraceFile : public TraceSink {
public:
    // Told why a write failed.
    using Report = std::function<void(const std::string& reason)>;

    // Gathered bytes are written at once when they reach this much.
    static constexpr std::size_t kMostGathered = 256 * 1024;

    explicit TraceFile(std::string path, Report report = nullptr);
    // Writes what is gathered.
    ~TraceFile() override;
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Opens the file at the path anew (made with mode 0600, never through a symbolic link):
    // after a rename (log rotation) the entries go to a new file there. What was gathered goes
    // to the file open until now. If the path cannot be opened, the file open until now stays
    // in use. Empty on success, otherwise the reason.
    std::string Open();
    const std::string& path() const { return path_; }

    void Write(std::string_view bytes) override;
    // Writes what is gathered now.
    void Flush();

private:
    std::string path_;
    Report report_;
    int fd_ = -1;
    std::string gathered_;
    bool failing_ = false;  // a failed write was reported; quiet until one succeeds
    QTimer flushTimer_;
};
