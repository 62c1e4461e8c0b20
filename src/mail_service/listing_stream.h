#pragma once
// The lines of a LIST or UIDL reply, "n size" or "n unique-id" per message and then ".", sent in
// batches under the same backpressure as a message.

#include "mail_service/connection_slot.h"
#include "mail_service/reply_lines.h"
#include "mail_service/reply_stream.h"

#include <string>

class ListingStream final : public ReplyStream {
public:
    enum class Column { Sizes, UniqueIds };

    ListingStream(const ConnectionSlot& slot, Column column) : slot_(slot), column_(column) {}
    Step Pump(Pop3Channel& out, std::size_t budget) override;

private:
    const ConnectionSlot& slot_;  // outlives the stream: no command runs while it streams
    Column column_;
    std::size_t next_ = 0;
    std::string line_;
    ReplyLines lines_;
};
