#include "mail_service/close_reason.h"

#include "socket_layer/trace_ring.h"

#include <algorithm>
#include <string>

namespace {

// What the layer writes to the trace about a connection ("[n] >text<"), strongest cause
// first: an idle connection whose close then fails was closed for being idle.
struct LayerText {
    std::string_view begins;
    std::string_view reason;
};
constexpr LayerText kLayerTexts[] = {
    {"closed: idle timeout in the TLS handshake", "tls-handshake-timeout"},
    {"closed: TLS handshake timeout", "tls-handshake-timeout"},
    {"closed: output stalled", "stalled-output"},
    {"closed: idle timeout", "idle"},
    {"closing: idle timeout", "idle"},
    {"TLS handshake failed", "tls-failure"},
    {"TLS failed", "tls-failure"},
    {"closed: connection failed", "reset"},
};

// The strongest reason among the layer's entries about `socket` since `from`; empty if none.
std::string_view FromTrace(const TraceRing& trace, std::uint64_t from, int socket) {
    const std::uint64_t held = trace.end() - trace.size();
    const bool whole = from >= held;  // else the tail begins inside some entry
    std::string tail;
    if (!trace.Since(std::max(from, held), tail)) {
        return {};
    }
    const std::string marker = "[" + std::to_string(socket) + "] >";
    std::size_t best = std::size(kLayerTexts);
    for (std::size_t at = tail.find(marker); at != std::string::npos;
         at = tail.find(marker, at + 1)) {
        // An entry begins after the CR LF that ends the one before; no entry holds a CR LF.
        const bool begins = at == 0 ? whole : at >= 2 && tail.compare(at - 2, 2, "\r\n") == 0;
        if (!begins) {
            continue;
        }
        const std::string_view text = std::string_view(tail).substr(at + marker.size());
        for (std::size_t i = 0; i < best; ++i) {
            if (text.starts_with(kLayerTexts[i].begins)) {
                best = i;
                break;
            }
        }
    }
    return best < std::size(kLayerTexts) ? kLayerTexts[best].reason : std::string_view();
}

}  // namespace

std::string_view CloseReason(InputEnd seen, const TraceRing& trace, std::uint64_t traceFrom,
                             int socket) {
    switch (seen) {
        case InputEnd::PeerClosed:
            return "peer-closed";
        case InputEnd::LineTooLong:
            return "overlong-line";
        case InputEnd::Failed: {
            const std::string_view layer = FromTrace(trace, traceFrom, socket);
            return layer.empty() ? "reset" : layer;
        }
        case InputEnd::None:
            break;
    }
    const std::string_view layer = FromTrace(trace, traceFrom, socket);
    return layer.empty() ? "unknown" : layer;
}
