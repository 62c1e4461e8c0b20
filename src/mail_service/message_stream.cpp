#include "mail_service/message_stream.h"

#include "mail_service/line_breaks.h"

bool MessageStream::Open(const platform::StoreFolder& folder, const std::string& name,
                         const platform::FileIdentity& identity) {
    return file_.Open(folder, name, identity);
}

void MessageStream::LimitBody(std::int64_t lines) {
    bodyLeft_ = lines;
}

MessageStream::Step MessageStream::Finish(Pop3Channel& out) {
    SendBatch(out);
    file_.Close();
    out.SendLine(".");
    return Step::Done;
}

MessageStream::Step MessageStream::Pump(Pop3Channel& out, std::size_t budget) {
    std::size_t spent = 0;
    while (!out.Congested() && spent < budget) {
        const long n = file_.Read(block_.data(), block_.size());
        if (n < 0) {
            file_.Close();
            return Step::Failed;
        }
        if (n == 0) {
            if (!carry_.empty() || lineStarted_) {
                EndLine({});  // a last line without a line end
            }
            return Finish(out);
        }
        Consume(std::string_view(block_.data(), static_cast<std::size_t>(n)), out);
        if (complete_) {
            return Finish(out);
        }
        if (batch_.size() >= kBatch) {
            SendBatch(out);
        }
        spent += static_cast<std::size_t>(n);
    }
    SendBatch(out);
    return Step::More;
}

void MessageStream::Consume(std::string_view block, Pop3Channel& out) {
    const char* const data = block.data();
    const char* const end = data + block.size();
    const char* pos = data;
    if (afterCR_ && pos < end && *pos == '\n') {
        ++pos;
    }
    afterCR_ = false;
    // Lines that already end in CR LF and need no extra "." go into the batch as they stand,
    // a run of them at a time.
    const char* verbatim = pos;
    while (pos < end) {
        const char* lineEnd = FindLineBreak(pos, end);
        if (lineEnd == end) {
            break;
        }
        const bool crlf = *lineEnd == '\r' && lineEnd + 1 < end && lineEnd[1] == '\n';
        // A reply cut after some lines counts every line, so it takes the slow way.
        if (crlf && carry_.empty() && !lineStarted_ && bodyLeft_ < 0) {
            if (*pos == '.') {
                batch_.append(verbatim, pos);
                batch_.push_back('.');
                verbatim = pos;
            }
            pos = lineEnd + 2;
            continue;
        }
        batch_.append(verbatim, pos);
        EndLine(std::string_view(pos, static_cast<std::size_t>(lineEnd - pos)));
        if (complete_) {
            return;
        }
        if (*lineEnd == '\r' && lineEnd + 1 == end) {
            afterCR_ = true;  // its LF, if any, starts the next block
            pos = end;
        } else {
            pos = lineEnd + (crlf ? 2 : 1);
        }
        verbatim = pos;
    }
    batch_.append(verbatim, pos);
    if (pos == end) {
        return;
    }
    carry_.append(pos, end);
    if (carry_.size() > kLongestHeldLine) {
        // Send what is held of an overlong line now, as the start of that line.
        SendBatch(out);
        if (!lineStarted_ && carry_.front() == '.') {
            out.SendPart(".");
        }
        out.SendPart(carry_);
        carry_.clear();
        lineStarted_ = true;
    }
}

void MessageStream::EndLine(std::string_view tail) {
    const bool empty = tail.empty() && carry_.empty() && !lineStarted_;
    std::string_view line = tail;
    if (!carry_.empty()) {
        carry_.append(tail);
        line = carry_;
    }
    if (!lineStarted_ && !line.empty() && line.front() == '.') {
        batch_.push_back('.');
    }
    batch_.append(line);
    batch_.append("\r\n", 2);
    carry_.clear();
    lineStarted_ = false;
    if (bodyLeft_ >= 0) {
        if (inBody_) {
            --bodyLeft_;
        } else {
            inBody_ = empty;
        }
        complete_ = inBody_ && bodyLeft_ == 0;
    }
}

void MessageStream::SendBatch(Pop3Channel& out) {
    if (!batch_.empty()) {
        out.SendLines(batch_);
        batch_.clear();
    }
}
