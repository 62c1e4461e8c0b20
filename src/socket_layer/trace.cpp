#include "socket_layer/trace.h"

#include "socket_layer/blanks.h"

#include <cstring>

namespace {

// Where the line that ends `text` begins: just after its last LF, or 0.
std::size_t AfterLastLf(std::string_view text) {
#if defined(__GLIBC__)
    const void* lf = ::memrchr(text.data(), '\n', text.size());
    return lf == nullptr ? 0
                         : static_cast<std::size_t>(static_cast<const char*>(lf) - text.data()) + 1;
#else
    const std::size_t lf = text.rfind('\n');
    return lf == std::string_view::npos ? 0 : lf + 1;
#endif
}

}  // namespace

Trace::Trace(QObject* parent) : QObject(parent) {}

void Trace::Put(std::string_view bytes) {
    ring_.Append(bytes);
    if (sink_ != nullptr) {
        sink_->Write(bytes);
    }
}

void Trace::AppendEntry(std::string_view prefix, std::string_view text) {
    Put(prefix);
    Put(" >");
    Put(TrimBlanks(text));
    Put("<\r\n");
    Announce();
}

void Trace::AppendLines(std::string_view prefix, std::string_view lines) {
    // Walk back from the end to the first entry that the ring will still hold; a sink takes
    // them all.
    const std::size_t keep = ring_.capacity();
    std::size_t start = sink_ != nullptr ? 0 : lines.size();
    std::size_t entries = 0;
    while (start > 0 && entries < keep) {
        const std::size_t end = start - 2;  // before this line's CR LF
        const std::size_t begin = AfterLastLf(lines.substr(0, end));
        entries += prefix.size() + 2 + TrimBlanks(lines.substr(begin, end - begin)).size() + 3;
        start = begin;
    }
    while (start < lines.size()) {
        const std::size_t end = lines.find("\r\n", start);
        AppendEntry(prefix, lines.substr(start, end - start));
        start = end + 2;
    }
}

void Trace::Clear() {
    ring_.Clear();
    Announce();
}

void Trace::Announce() {
    if (!announced_) {
        announced_ = true;
        emit Changed();
    }
}
