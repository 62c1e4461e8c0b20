#include "mail_service/message_stream.h"

#include <cstring>

bool MessageStream::Open(const std::string& folder, const std::string& name) {
    return file_.Open(folder, name);
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
            SendBatch(out);
            file_.Close();
            out.SendLine(".");
            return Step::Done;
        }
        Consume(std::string_view(block_.data(), static_cast<std::size_t>(n)), out);
        SendBatch(out);
        spent += static_cast<std::size_t>(n);
    }
    return Step::More;
}

void MessageStream::Consume(std::string_view block, Pop3Channel& out) {
    std::size_t pos = 0;
    if (afterCR_ && !block.empty() && block[0] == '\n') {
        pos = 1;
    }
    afterCR_ = false;
    const char* data = block.data();
    const std::size_t size = block.size();
    // The nearest CR and LF ahead, each searched for once per occurrence.
    const char* nextCR = nullptr;
    const char* nextLF = nullptr;
    while (pos < size) {
        if (nextCR == nullptr || nextCR < data + pos) {
            nextCR = static_cast<const char*>(std::memchr(data + pos, '\r', size - pos));
            if (nextCR == nullptr) {
                nextCR = data + size;
            }
        }
        if (nextLF == nullptr || nextLF < data + pos) {
            nextLF = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
            if (nextLF == nullptr) {
                nextLF = data + size;
            }
        }
        const char* end = nextCR < nextLF ? nextCR : nextLF;
        if (end == data + size) {
            carry_.append(data + pos, size - pos);
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
            return;
        }
        EndLine(std::string_view(data + pos, static_cast<std::size_t>(end - (data + pos))));
        const std::size_t at = static_cast<std::size_t>(end - data);
        if (*end == '\r') {
            if (at + 1 < size) {
                pos = at + (data[at + 1] == '\n' ? 2 : 1);
            } else {
                afterCR_ = true;
                pos = size;
            }
        } else {
            pos = at + 1;
        }
    }
}

void MessageStream::EndLine(std::string_view tail) {
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
}

void MessageStream::SendBatch(Pop3Channel& out) {
    if (!batch_.empty()) {
        out.SendLines(batch_);
        batch_.clear();
    }
}
