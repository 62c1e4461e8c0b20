#include "mail_service/message_stream.h"

bool MessageStream::Open(const platform::StoreFolder& folder, const std::string& name,
                         const platform::FileIdentity& identity) {
    size_ = identity.size;
    return file_.Open(folder, name, identity);
}

void MessageStream::LimitBody(std::int64_t lines) {
    lines_.LimitBody(lines);  // which copies every line: TOP counts them
    limited_ = true;
}

MessageStream::Step MessageStream::Fail() {
    file_.Close();
    return Step::Failed;
}

MessageStream::Step MessageStream::Finish(Pop3Channel& out) {
    const bool sent = lines_.End(out);
    file_.Close();  // the channel keeps what it needs for the spans handed to it
    return sent ? Step::Done : Step::Failed;
}

MessageStream::Step MessageStream::PumpMapped(Pop3Channel& out, std::size_t budget) {
    for (std::size_t spent = 0; !out.Congested() && spent < budget; spent += flow::kMappedBatch) {
        if (!mapped_->Next(out, flow::kMappedBatch)) {
            return Fail();
        }
        if (mapped_->Done()) {
            file_.Close();  // the channel keeps the mapping and the spans it was handed
            return Step::Done;
        }
    }
    return Step::More;
}

MessageStream::Step MessageStream::Pump(Pop3Channel& out, std::size_t budget) {
    if (!begun_) {
        begun_ = true;
        if (out.CanSendFile()) {
            lines_.SendSpansOf(file_.fd());
            if (!limited_ && size_ >= kMapFrom) {
                if (auto mapping = platform::MappedFile::Map(file_.fd())) {
                    mapped_.emplace(std::move(mapping), file_.fd());
                }
            }
        }
    }
    if (mapped_) {
        return PumpMapped(out, budget);
    }
    std::size_t spent = 0;
    while (!out.Congested() && spent < budget) {
        const long n = file_.Read(block_.data(), block_.size());
        if (n < 0) {
            return Fail();
        }
        if (n == 0) {
            lines_.EndOfText(out);
            return Finish(out);
        }
        if (!lines_.Take(std::string_view(block_.data(), static_cast<std::size_t>(n)), offset_,
                         out)) {
            return Fail();
        }
        offset_ += n;
        if (lines_.Complete()) {
            return Finish(out);
        }
        if (lines_.Pending() >= kBatch && !lines_.Send(out)) {
            return Fail();
        }
        spent += static_cast<std::size_t>(n);
    }
    return lines_.Send(out) ? Step::More : Fail();
}
