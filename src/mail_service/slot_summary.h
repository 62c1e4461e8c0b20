#pragma once
// What the window keeps of a connection once its full record is released: the fields it shows,
// compactly, so a server that has served millions of connections can still show each of them.

#include "mail_service/connection_slot.h"

#include <cstdint>
#include <string>

struct SlotSummary {
    std::string user;
    std::int64_t count = -1;  // -1: no maildrop was scanned
    std::int64_t size = -1;
    std::int32_t socket = -1;
    SessionState state = SessionState::None;
    SessionKind kind = SessionKind::Pop3;
    std::string_view stage;

    static SlotSummary Of(const ConnectionSlot& slot);
    // The full record's fields again; the request line and the lists are not kept.
    ConnectionSlot Fields() const;
};
