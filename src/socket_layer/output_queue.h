#pragma once
// What waits to be written to one connection, in order: bytes it holds, bytes it borrows (held
// elsewhere and kept alive until sent), and spans of open files that leave without passing
// through the program. Appends are cheap; the front is consumed as the socket takes it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// `length` bytes of the open file `fd` from `offset`. In a queue, the queue owns `fd`.
struct FileSpan {
    int fd = -1;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

// Bytes the queue does not copy: `bytes` stay valid while `keep` lives (null for bytes that
// live as long as the program).
struct BorrowedBytes {
    std::string_view bytes;
    std::shared_ptr<const void> keep;
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
    void Append(BorrowedBytes bytes);

    // The front piece is either bytes or a span. The bytes up to the next span or borrowed
    // bytes, or the borrowed bytes at the front (empty when a span comes first)...
    std::string_view Front() const;
    // ...or the span at the front, if no byte comes before it.
    const FileSpan* FrontSpan() const {
        const Piece* piece = FrontPiece();
        return piece != nullptr && piece->borrowed.data() == nullptr ? &piece->span : nullptr;
    }
    // The bytes of the front pieces up to the first span, at most `out.size()` pieces and
    // `budget` bytes, for one gathering write; how many were filled in.
    std::size_t Gather(std::span<std::string_view> out, std::size_t budget) const;
    // Drops `count` units of the front piece, at most all of it.
    void Consume(std::size_t count);
    // Drops `count` bytes from the front, across as many pieces as they cover (none a span).
    void ConsumeBytes(std::size_t count);

    // Bytes, borrowed bytes and span bytes still to go.
    std::size_t size() const { return data_.size() - start_ + pieceBytes_; }
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
    // A span, or borrowed bytes where `borrowed` is not null.
    struct Piece {
        FileSpan span;
        std::string_view borrowed;
        std::shared_ptr<const void> keep;
        std::uint64_t at;  // the held byte it comes before, counted over all bytes ever held
    };
    // Where piece `i` comes in data_.
    std::size_t HeldBefore(std::size_t i) const {
        return static_cast<std::size_t>(pieces_[i].at - dropped_);
    }
    const Piece* FrontPiece() const {
        return next_ < pieces_.size() && HeldBefore(next_) == start_ ? &pieces_[next_] : nullptr;
    }
    void DropFrontPiece();
    void ClosePieces();

    std::string data_;
    std::size_t start_ = 0;      // first byte of data_ still to go
    std::uint64_t dropped_ = 0;  // bytes gone and erased from data_
    std::vector<Piece> pieces_;
    std::size_t next_ = 0;  // first piece still to go
    std::size_t pieceBytes_ = 0;
    bool congested_ = false;
};
