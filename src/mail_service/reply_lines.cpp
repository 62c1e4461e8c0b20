#include "mail_service/reply_lines.h"

#include "mail_service/line_breaks.h"

#include <cassert>
#include <cstring>

namespace {

// The line that ends every multi-line reply.
constexpr std::string_view kEnd = ".\r\n";
constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

bool SendReplyLine(Pop3Channel& out, std::string_view text) {
    return out.SendLine(text);
}

void ReplyLines::Add(std::string_view line) {
    if (line.starts_with('.')) {
        bytes_ += '.';
    }
    bytes_.append(line);
    bytes_.append("\r\n", 2);
}

bool ReplyLines::Send(Pop3Channel& out) {
    if (bytes_.empty()) {
        return true;
    }
    const bool sent = out.SendLines(bytes_);
    bytes_.clear();
    return sent;
}

bool ReplyLines::End(Pop3Channel& out) {
    bytes_.append(kEnd);
    return Send(out);
}

bool MessageLines::Send(Pop3Channel& out) {
    if (failed_) {
        return false;
    }
    // Only whole lines are ever gathered: a piece of a line goes out by itself, at once.
    assert(batch_.empty() || batch_.ends_with('\n'));
    if (!batch_.empty()) {
        failed_ = !out.SendLines(batch_);
        batch_.clear();
    }
    if (spanLength_ > 0 && !failed_) {
        failed_ = !out.SendFileSpan(fd_, spanFrom_, spanLength_);
    }
    spanLength_ = 0;
    if (inRun_) {
        // The rest of the run starts afresh: copied until it is long enough for a span.
        spanning_ = false;
        runCopied_ = 0;
        runCopiedFrom_ = runTo_;
    }
    return !failed_;
}

bool MessageLines::End(Pop3Channel& out) {
    EndRun();
    BeforeCopy(out);
    batch_.append(kEnd);
    return Send(out);
}

void MessageLines::BeforeCopy(Pop3Channel& out) {
    if (spanLength_ > 0) {
        Send(out);
    }
}

void MessageLines::StartRun(std::int64_t at) {
    // A run follows a changed line, whose copy has sent any span before it.
    assert(spanLength_ == 0);
    inRun_ = true;
    spanning_ = false;
    runCopied_ = batch_.size();
    runCopiedFrom_ = at;
    runTo_ = at;
}

void MessageLines::AddToRun(std::string_view bytes, std::int64_t from) {
    if (!inRun_ || bytes.empty()) {
        return;
    }
    assert(from == runTo_);
    runTo_ = from + static_cast<std::int64_t>(bytes.size());
    if (spanning_) {
        spanLength_ = runTo_ - spanFrom_;
        return;
    }
    if (fd_ >= 0 && runTo_ - runCopiedFrom_ >= kShortestSpan) {
        // Long enough: the copies made of it so far go out as part of the span instead.
        batch_.resize(runCopied_);
        spanning_ = true;
        spanFrom_ = runCopiedFrom_;
        spanLength_ = runTo_ - spanFrom_;
        return;
    }
    batch_.append(bytes);
}

void MessageLines::EndRun() {
    inRun_ = false;
    spanning_ = false;
}

bool MessageLines::Take(std::string_view text, std::int64_t offset, Pop3Channel& out) {
    if (failed_) {
        return false;
    }
    const char* const data = text.data();
    const char* const end = data + text.size();
    const auto at = [data, offset](const char* p) { return offset + (p - data); };
    const char* pos = data;
    if (afterCR_ && pos < end && *pos == '\n') {
        ++pos;
    }
    afterCR_ = false;
    const char* run = pos;  // this text's part of the run, not yet added to it
    while (pos < end) {
        const char* lineEnd = FindLineBreak(pos, end);
        if (lineEnd == end) {
            break;
        }
        const bool crlf = *lineEnd == '\r' && lineEnd + 1 < end && lineEnd[1] == '\n';
        const char first = carry_.empty() ? *pos : carry_.front();
        // A line that already ends in CR LF and needs no extra "." joins the run as it stands.
        // A reply cut after some lines counts every line, so it takes the slow way.
        if (crlf && first != '.' && !lineStarted_ && bodyLeft_ < 0) {
            if (!inRun_) {
                StartRun(carry_.empty() ? at(pos) : carryFrom_);
                run = pos;
            }
            if (!carry_.empty()) {
                AddToRun(carry_, carryFrom_);
                carry_.clear();
            }
            pos = lineEnd + 2;
            continue;
        }
        AddToRun(std::string_view(run, static_cast<std::size_t>(pos - run)), at(run));
        EndRun();
        EndLine(std::string_view(pos, static_cast<std::size_t>(lineEnd - pos)), out);
        if (failed_ || complete_) {
            return !failed_;
        }
        if (*lineEnd == '\r' && lineEnd + 1 == end) {
            afterCR_ = true;  // its LF, if any, starts the next text
            pos = end;
        } else {
            pos = lineEnd + (crlf ? 2 : 1);
        }
        run = pos;
    }
    AddToRun(std::string_view(run, static_cast<std::size_t>(pos - run)), at(run));
    if (pos == end) {
        return true;
    }
    if (carry_.empty()) {
        carryFrom_ = at(pos);
    }
    carry_.append(pos, end);
    if (carry_.size() > kLongestHeldLine) {
        // Send what is held of an overlong line now, as the start of that line.
        EndRun();
        if (!Send(out)) {
            return false;
        }
        if (!lineStarted_ && carry_.front() == '.') {
            failed_ = !out.SendPart(".");
        }
        failed_ = failed_ || !out.SendPart(carry_);
        carry_.clear();
        lineStarted_ = true;
    }
    return !failed_;
}

bool MessageLines::EndOfText(Pop3Channel& out) {
    if (!failed_ && (!carry_.empty() || lineStarted_)) {
        EndLine({}, out);  // a last line without a line end
    }
    return !failed_;
}

void MessageLines::EndLine(std::string_view tail, Pop3Channel& out) {
    BeforeCopy(out);
    const bool empty = tail.empty() && carry_.empty() && !lineStarted_;
    std::string_view line = tail;
    if (!carry_.empty()) {
        carry_.append(tail);
        line = carry_;
    }
    if (!lineStarted_ && line.starts_with('.')) {
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

bool MappedLines::SendPieces(Pop3Channel& out) {
    if (pieces_.empty()) {
        return true;
    }
    // A page read past the file's end read as zeros: those are not the message.
    const bool sent = !file_->Cut() && out.SendBorrowedLines(pieces_, file_);
    pieces_.clear();
    return sent;
}

bool MappedLines::AddRun(const char* from, const char* to, Pop3Channel& out) {
    if (to - from >= MessageLines::kShortestSpan && *from == '.') {
        // A run that begins with a stuffed line: its "." went just before it, and a span must
        // begin a line, so that line goes as a piece.
        const char* lineEnd =
            static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)));
        const char* next = lineEnd == nullptr ? to : lineEnd + 1;
        pieces_.emplace_back(from, static_cast<std::size_t>(next - from));
        from = next;
    }
    // A run may end with the "." that stuffs the next line: a span ends before it.
    const char* spanEnd = to - (to > from && to[-1] == '.' ? 1 : 0);
    if (spanEnd - from < MessageLines::kShortestSpan) {
        if (from != to) {
            pieces_.emplace_back(from, static_cast<std::size_t>(to - from));
        }
        return true;
    }
    // Long enough to leave the file by itself.
    if (!SendPieces(out) || !out.SendFileSpan(fd_, from - file_->bytes().data(), spanEnd - from)) {
        return false;
    }
    if (spanEnd != to) {
        pieces_.emplace_back(spanEnd, 1);
    }
    return true;
}

bool MappedLines::Next(Pop3Channel& out, std::size_t amount) {
    // What went a few steps ago has left the queue by now (it holds far less than a step):
    // its pages need not count as the program's memory.
    file_->ReleaseBefore(at_ > 2 * amount ? at_ - 2 * amount : 0);
    const std::string_view text = file_->bytes();
    const char* const end = text.data() + text.size();
    const char* const stop = text.data() + std::min(text.size(), at_ + amount);
    const char* pos = text.data() + at_;
    const char* run = pos;  // unchanged bytes from here to pos
    while (pos < stop) {
        pos = SkipPlainLines(pos, stop);
        if (pos == stop) {
            break;
        }
        // One line the slow way: a changed one, or one that the skip could not see whole.
        if (*pos == '.') {
            // The line's own "." doubles it: the run so far ends with it, the next one begins
            // with it again.
            if (!AddRun(run, pos + 1, out)) {
                return false;
            }
            run = pos;
        }
        const char* lineEnd = FindLineBreak(pos, end);
        if (lineEnd + 1 < end && lineEnd[0] == '\r' && lineEnd[1] == '\n') {
            pos = lineEnd + 2;
            continue;
        }
        // A lone CR or LF, or no line end at all: the line goes with CR LF. Spans and calls
        // end with whole lines, so the trace shows the line as one.
        if (!AddRun(run, pos, out)) {
            return false;
        }
        pieces_.emplace_back(pos, static_cast<std::size_t>(lineEnd - pos));
        pieces_.push_back(kLineEnd);
        pos = lineEnd == end ? end : lineEnd + 1;
        run = pos;
    }
    if (!AddRun(run, pos, out)) {
        return false;
    }
    at_ = static_cast<std::size_t>(pos - text.data());
    if (at_ == text.size()) {
        pieces_.push_back(kEnd);
        ended_ = true;
    }
    return SendPieces(out);
}
