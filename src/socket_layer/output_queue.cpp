#include "socket_layer/output_queue.h"

#include "platform/file_handle.h"

OutputQueue::~OutputQueue() {
    CloseSpans();
}

void OutputQueue::Append(FileSpan span) {
    if (span.length <= 0) {
        platform::CloseFile(span.fd);
        return;
    }
    spans_.push_back(PlacedSpan{span, dropped_ + data_.size()});
    spanBytes_ += static_cast<std::size_t>(span.length);
}

void OutputQueue::Consume(std::size_t count) {
    if (next_ < spans_.size() && BytesBeforeSpan() == 0) {
        FileSpan& span = spans_[next_].span;
        span.offset += static_cast<std::int64_t>(count);
        span.length -= static_cast<std::int64_t>(count);
        spanBytes_ -= count;
        if (span.length <= 0) {
            platform::CloseFile(span.fd);
            if (++next_ == spans_.size()) {
                spans_.clear();
                next_ = 0;
            }
        }
        return;
    }
    start_ += count;
    if (start_ >= data_.size()) {
        dropped_ += data_.size();
        data_.clear();
        start_ = 0;
    } else if (start_ >= 64 * 1024 && start_ >= data_.size() / 2) {
        dropped_ += start_;
        data_.erase(0, start_);
        start_ = 0;
    }
}

void OutputQueue::CloseSpans() {
    for (std::size_t i = next_; i < spans_.size(); ++i) {
        platform::CloseFile(spans_[i].span.fd);
    }
    spans_.clear();
    next_ = 0;
    spanBytes_ = 0;
}

void OutputQueue::Release() {
    CloseSpans();
    dropped_ += data_.size();
    std::string().swap(data_);
    start_ = 0;
}

void OutputQueue::ReleaseIfDrained() {
    if (empty() && data_.capacity() > 16 * 1024) {
        Release();
    }
}
