#pragma once
// What waits to be written to one connection, in order: bytes, and spans of open files that
// leave without passing through the program. Appends are cheap; the front is consumed as the
// socket takes it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// `length` bytes of the open file `fd` from `offset`. In a queue, the queue owns `fd`.
struct FileSpan {
    int fd = -1;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

class OutputQueue {
public:
    OutputQueue() = default;
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;
    ~OutputQueue();

    void Append(std::string_view bytes) { data_.append(bytes); }
    // Queues `span` after everything queued so far and takes its descriptor, which is closed
    // once the span has gone or the queue is released.
    void Append(FileSpan span);

    // The front piece is either bytes or a span. The bytes up to the next span (empty when a
    // span comes first)...
    std::string_view Front() const {
        const std::string_view bytes = std::string_view(data_).substr(start_);
        return next_ == spans_.size() ? bytes : bytes.substr(0, BytesBeforeSpan());
    }
    // ...or the span at the front, if no byte comes before it.
    const FileSpan* FrontSpan() const {
        return next_ < spans_.size() && BytesBeforeSpan() == 0 ? &spans_[next_].span : nullptr;
    }
    // Drops `count` units of the front piece, at most all of it.
    void Consume(std::size_t count);

    // Bytes and span bytes still to go.
    std::size_t size() const { return data_.size() - start_ + spanBytes_; }
    bool empty() const { return size() == 0; }
    // Drops everything, closing the spans' files: nothing more of them is read.
    void Release();
    // Gives a large buffer back once everything in it has gone, so an idle connection does not
    // keep the size of its largest reply.
    void ReleaseIfDrained();

    // Congestion belongs to the output, not to the connection's state: set once the queue has
    // passed the high-water mark, cleared by the owner of the queue once it has drained below.
    bool congested() const { return congested_; }
    void SetCongested(bool congested) { congested_ = congested; }

private:
    struct PlacedSpan {
        FileSpan span;
        std::uint64_t at;  // the byte it comes before, counted over all bytes ever queued
    };
    std::size_t BytesBeforeSpan() const {
        return static_cast<std::size_t>(spans_[next_].at - dropped_ - start_);
    }
    void CloseSpans();

    std::string data_;
    std::size_t start_ = 0;      // first byte of data_ still to go
    std::uint64_t dropped_ = 0;  // bytes gone and erased from data_
    std::vector<PlacedSpan> spans_;
    std::size_t next_ = 0;  // first span still to go
    std::size_t spanBytes_ = 0;
    bool congested_ = false;
};
