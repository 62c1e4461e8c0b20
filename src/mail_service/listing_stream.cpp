#include "mail_service/listing_stream.h"

#include "mail_service/text_number.h"
#include "mail_service/unique_id.h"
#include "socket_layer/flow_limits.h"

#include <charconv>

ReplyStream::Step ListingStream::Pump(Pop3Channel& out, std::size_t budget) {
    const std::size_t count = static_cast<std::size_t>(slot_.MessageCount());
    std::size_t spent = 0;
    while (next_ < count && !out.Congested() && spent < budget) {
        batch_.clear();
        while (next_ < count && batch_.size() < flow::kStreamBlock) {
            AppendDecimal(batch_, static_cast<std::int64_t>(next_) + 1);
            batch_ += ' ';
            if (column_ == Column::Sizes) {
                AppendDecimal(batch_, slot_.Message(next_).size);
            } else {
                batch_ += UniqueId(slot_.Message(next_).name);
            }
            batch_ += "\r\n";
            ++next_;
        }
        out.SendLines(batch_);
        spent += batch_.size();
    }
    if (next_ < count) {
        return Step::More;
    }
    out.SendLine(".");
    return Step::Done;
}
