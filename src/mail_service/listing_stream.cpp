#include "mail_service/listing_stream.h"

#include "mail_service/text_number.h"
#include "mail_service/unique_id.h"
#include "socket_layer/flow_limits.h"

#include <charconv>

ReplyStream::Step ListingStream::Pump(Pop3Channel& out, std::size_t budget) {
    const std::size_t count = static_cast<std::size_t>(slot_.MessageCount());
    std::size_t spent = 0;
    while (next_ < count && !out.Congested() && spent < budget) {
        while (next_ < count && lines_.Pending() < flow::kStreamBlock) {
            line_.clear();
            AppendDecimal(line_, static_cast<std::int64_t>(next_) + 1);
            line_ += ' ';
            if (column_ == Column::Sizes) {
                AppendDecimal(line_, slot_.Message(next_).size);
            } else {
                line_ += UniqueId(slot_.Message(next_).name);
            }
            lines_.Add(line_);
            ++next_;
        }
        spent += lines_.Pending();
        if (!lines_.Send(out)) {
            return Step::Failed;
        }
    }
    if (next_ < count) {
        return Step::More;
    }
    return lines_.End(out) ? Step::Done : Step::Failed;
}
