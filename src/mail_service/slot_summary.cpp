#include "mail_service/slot_summary.h"

SlotSummary SlotSummary::Of(const ConnectionSlot& slot) {
    SlotSummary summary;
    summary.user = slot.user;
    summary.user.shrink_to_fit();
    summary.count = slot.totalCount;
    summary.size = slot.totalSize;
    summary.socket = slot.socket;
    summary.state = slot.state;
    summary.kind = slot.kind;
    summary.stage = slot.stage;
    return summary;
}

ConnectionSlot SlotSummary::Fields() const {
    ConnectionSlot slot;
    slot.user = user;
    slot.totalCount = count;
    slot.totalSize = size;
    slot.socket = socket;
    slot.state = state;
    slot.kind = kind;
    slot.stage = stage;
    return slot;
}
