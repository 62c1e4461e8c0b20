#include "mail_service/slot_summary.h"

#include <charconv>
#include <string_view>

namespace {

constexpr std::string_view kStates[] = {kStateAuthorisation, kStateTransaction, kStateUpdate};

std::int64_t NumberOr(const std::string& text, std::int64_t fallback) {
    std::int64_t value = fallback;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() ? value : fallback;
}

std::string TextOf(std::int64_t value) {
    return value < 0 ? std::string() : std::to_string(value);
}

}  // namespace

SlotSummary SlotSummary::Of(const ConnectionSlot& slot) {
    SlotSummary summary;
    summary.user = slot.user;
    summary.user.shrink_to_fit();
    summary.count = NumberOr(slot.totalCount, -1);
    summary.size = NumberOr(slot.totalSize, -1);
    summary.socket = static_cast<std::int32_t>(NumberOr(slot.socket, -1));
    for (std::uint8_t i = 0; i < std::size(kStates); ++i) {
        if (slot.state == kStates[i]) {
            summary.state = i;
        }
    }
    return summary;
}

ConnectionSlot SlotSummary::Fields() const {
    ConnectionSlot slot;
    slot.user = user;
    slot.totalCount = TextOf(count);
    slot.totalSize = TextOf(size);
    slot.socket = std::to_string(socket);
    slot.state = std::string(kStates[state]);
    return slot;
}
