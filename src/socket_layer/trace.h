#pragma once
// The socket trace: every line sent and received, as entries in a ring of the last 30,000
// bytes, with a notice to whoever shows it. The socket layer writes it; a window may show it.

#include "socket_layer/trace_ring.h"

#include <QObject>

#include <string>
#include <string_view>

// Where every trace entry also goes, in full: the ring keeps only the last bytes, a sink keeps
// them all (a trace file).
class TraceSink {
public:
    virtual ~TraceSink() = default;
    virtual void Write(std::string_view bytes) = 0;
};

class Trace : public QObject {
    Q_OBJECT
public:
    explicit Trace(QObject* parent = nullptr);

    // One entry: prefix, " >", the text without its edge blanks, "<", CR LF.
    void AppendEntry(std::string_view prefix, std::string_view text);
    // One entry per line of `lines`, each line ending in CR LF and holding no other CR or LF.
    // The ring keeps only its last bytes, so without a sink only the entries it will still
    // hold are written; what it holds afterwards is the same as after appending them one by one.
    void AppendLines(std::string_view prefix, std::string_view lines);
    // Clears the ring; a sink keeps what it was given.
    void Clear();

    // From now on every entry also goes to `sink` (none: to the ring alone), including those
    // the ring will not keep. The sink must outlive the trace or be taken away first.
    void SetSink(TraceSink* sink) { sink_ = sink; }
    TraceSink* sink() const { return sink_; }

    std::string Contents() const { return ring_.Contents(); }
    std::size_t size() const { return ring_.size(); }
    // How many bytes the ring keeps: only entries that end within them are still seen.
    std::size_t capacity() const { return ring_.capacity(); }
    std::uint64_t revision() const { return ring_.revision(); }
    const TraceRing& ring() const { return ring_; }

    // The viewer has caught up: the next change is announced again.
    void Seen() { announced_ = false; }

signals:
    // The first change since the viewer last caught up; one signal however many entries follow.
    void Changed();

private:
    void Announce();
    void Put(std::string_view bytes);

    TraceRing ring_;
    TraceSink* sink_ = nullptr;
    bool announced_ = false;
};
