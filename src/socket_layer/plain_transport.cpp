#include "socket_layer/plain_transport.h"

#include "platform/winsock.h"
#include "socket_layer/flow_limits.h"

#include <algorithm>
#include <array>
#include <span>

namespace {

// One call takes at most this much, so a count always fits the socket API's int.
constexpr std::size_t kLargestSend = std::size_t{1} << 30;
// Pieces gathered into one send: a message's unchanged runs between stuffed lines are short.
constexpr std::size_t kGathered = 256;

bool WouldBlock(int result) {
    return result < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK;
}

}  // namespace

ReadResult PlainTransport::ReadInto(LineBuffer& input) {
    char* area = input.PrepareAppend(flow::kReadChunk);
    const int n = platform::recv(socket(), area, static_cast<int>(flow::kReadChunk), 0);
    input.Commit(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0) {
        return {ReadStatus::Data};
    }
    if (n == 0) {
        return {ReadStatus::Ended};
    }
    return {WouldBlock(n) ? ReadStatus::Nothing : ReadStatus::Failed};
}

FlushResult PlainTransport::Flush(OutputQueue& output) {
    std::size_t budget = output.size();
    return FlushUpTo(output, budget);
}

FlushResult PlainTransport::FlushUpTo(OutputQueue& output, std::size_t& budget) {
    FlushResult result;
    while (budget > 0 && !output.empty()) {
        int n;
        if (const FileSpan* span = output.FrontSpan()) {
            const auto count =
                std::min({static_cast<std::size_t>(span->length), budget, kLargestSend});
            n = platform::SendFile(socket(), span->fd, span->offset, static_cast<int>(count));
            if (n == 0) {
                failure_ = "file span: the file ended before the span";
                result.status = FlushStatus::Failed;
                return result;
            }
        } else {
            // Held and borrowed bytes up to the next span leave in one call.
            std::array<std::string_view, kGathered> pieces;
            const std::size_t count = output.Gather(pieces, std::min(budget, kLargestSend));
            if (count == 1) {
                n = platform::send(socket(), pieces[0].data(), static_cast<int>(pieces[0].size()),
                                   0);
            } else {
                n = platform::SendGathered(socket(), std::span(pieces).first(count));
            }
        }
        if (n <= 0) {
            if (n < 0 && platform::WSAGetLastError() == platform::WSAEFAULT) {
                failure_ = "mapped file: the file ended before its bytes were sent";
            }
            result.status = WouldBlock(n) ? FlushStatus::Blocked : FlushStatus::Failed;
            return result;
        }
        if (output.FrontSpan() != nullptr) {
            output.Consume(static_cast<std::size_t>(n));
        } else {
            output.ConsumeBytes(static_cast<std::size_t>(n));
        }
        budget -= static_cast<std::size_t>(n);
        result.progressed = true;
    }
    return result;
}

FlushStatus PlainTransport::ShutDown() {
    platform::shutdown(socket(), platform::SD_SEND);
    return FlushStatus::Done;
}
