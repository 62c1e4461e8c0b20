#include "socket_layer/line_buffer.h"

#include <cstring>

char* LineBuffer::PrepareAppend(std::size_t capacity) {
    // Drop consumed bytes once they make up most of the buffer, so it does not creep.
    if (start_ > 0 && start_ >= data_.size() / 2) {
        data_.erase(0, start_);
        start_ = 0;
    }
    const std::size_t used = data_.size();
    data_.resize(used + capacity);
    prepared_ = capacity;
    return data_.data() + used;
}

void LineBuffer::Commit(std::size_t count) {
    data_.resize(data_.size() - prepared_ + (count < prepared_ ? count : prepared_));
    prepared_ = 0;
}

void LineBuffer::Append(std::string_view bytes) {
    std::memcpy(PrepareAppend(bytes.size()), bytes.data(), bytes.size());
    Commit(bytes.size());
}

std::size_t LineBuffer::FindLineEnd() const {
    // Resume where the last search stopped, one byte back for a CR that waited for its LF.
    std::size_t from = start_ + (scanned_ > 0 ? scanned_ - 1 : 0);
    while (from + 1 < data_.size()) {
        const void* cr = std::memchr(data_.data() + from, '\r', data_.size() - from - 1);
        if (cr == nullptr) {
            break;
        }
        const std::size_t at = static_cast<const char*>(cr) - data_.data();
        if (data_[at + 1] == '\n') {
            return at;
        }
        from = at + 1;
    }
    scanned_ = data_.size() - start_;
    return std::string::npos;
}

bool LineBuffer::HasLine() const {
    return FindLineEnd() != std::string::npos;
}

bool LineBuffer::PopLine(std::string& line) {
    const std::size_t end = FindLineEnd();
    if (end == std::string::npos) {
        return false;
    }
    line.assign(data_, start_, end - start_);
    start_ = end + 2;
    scanned_ = 0;
    if (start_ == data_.size()) {
        data_.clear();
        start_ = 0;
    }
    return true;
}

bool LineBuffer::Overlong() const {
    if (HasLine()) {
        return false;
    }
    std::size_t length = pending();
    if (length > 0 && data_.back() == '\r') {
        --length;  // its LF may be on the way
    }
    return length > kMaxLine;
}
