#include "socket_layer/output_queue.h"

#include "platform/file_handle.h"

#include <algorithm>

OutputQueue::~OutputQueue() {
    ClosePieces();
}

void OutputQueue::Append(FileSpan span) {
    if (span.length <= 0) {
        platform::CloseFile(span.fd);
        return;
    }
    pieces_.push_back(Piece{span, {}, nullptr, dropped_ + data_.size()});
    pieceBytes_ += static_cast<std::size_t>(span.length);
}

void OutputQueue::Append(BorrowedBytes bytes) {
    if (bytes.bytes.empty()) {
        return;
    }
    pieceBytes_ += bytes.bytes.size();
    pieces_.push_back(Piece{{}, bytes.bytes, std::move(bytes.keep), dropped_ + data_.size()});
}

std::string_view OutputQueue::Front() const {
    if (const Piece* piece = FrontPiece()) {
        return piece->borrowed;
    }
    const std::string_view held = std::string_view(data_).substr(start_);
    return next_ == pieces_.size() ? held : held.substr(0, HeldBefore(next_) - start_);
}

std::size_t OutputQueue::Gather(std::span<std::string_view> out, std::size_t budget) const {
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::size_t held = start_;
    std::size_t piece = next_;
    while (count < out.size() && bytes < budget) {
        std::string_view next;
        if (piece < pieces_.size() && HeldBefore(piece) == held) {
            if (pieces_[piece].borrowed.data() == nullptr) {
                break;  // a span goes by itself
            }
            next = pieces_[piece++].borrowed;
        } else {
            const std::size_t end = piece < pieces_.size() ? HeldBefore(piece) : data_.size();
            next = std::string_view(data_).substr(held, end - held);
            held = end;
        }
        if (next.empty()) {
            break;
        }
        out[count++] = next.substr(0, budget - bytes);
        bytes += out[count - 1].size();
    }
    return count;
}

void OutputQueue::DropFrontPiece() {
    Piece& piece = pieces_[next_];
    if (piece.borrowed.data() == nullptr) {
        platform::CloseFile(piece.span.fd);
    }
    piece.keep.reset();
    if (++next_ == pieces_.size()) {
        pieces_.clear();
        next_ = 0;
    }
}

void OutputQueue::Consume(std::size_t count) {
    if (next_ < pieces_.size() && HeldBefore(next_) == start_) {
        Piece& piece = pieces_[next_];
        pieceBytes_ -= count;
        if (piece.borrowed.data() != nullptr) {
            piece.borrowed.remove_prefix(count);
            if (piece.borrowed.empty()) {
                DropFrontPiece();
            }
            return;
        }
        piece.span.offset += static_cast<std::int64_t>(count);
        piece.span.length -= static_cast<std::int64_t>(count);
        if (piece.span.length <= 0) {
            DropFrontPiece();
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

void OutputQueue::ConsumeBytes(std::size_t count) {
    while (count > 0) {
        const std::size_t front = std::min(count, Front().size());
        if (front == 0) {
            return;
        }
        Consume(front);
        count -= front;
    }
}

void OutputQueue::ClosePieces() {
    for (std::size_t i = next_; i < pieces_.size(); ++i) {
        if (pieces_[i].borrowed.data() == nullptr) {
            platform::CloseFile(pieces_[i].span.fd);
        }
    }
    pieces_.clear();
    next_ = 0;
    pieceBytes_ = 0;
}

void OutputQueue::Release() {
    ClosePieces();
    dropped_ += data_.size();
    std::string().swap(data_);
    start_ = 0;
}

void OutputQueue::ReleaseIfDrained() {
    if (empty() && data_.capacity() > 16 * 1024) {
        Release();
    }
}
