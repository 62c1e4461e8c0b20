#include "socket_layer/trace_ring.h"

#include <algorithm>
#include <cstring>

TraceRing::TraceRing(std::size_t capacity) : data_(std::max<std::size_t>(capacity, 1)) {}

void TraceRing::Append(std::string_view bytes) {
    if (bytes.empty()) {
        return;  // an empty view may carry no pointer at all
    }
    const std::size_t cap = data_.size();
    ++revision_;
    end_ += bytes.size();
    if (bytes.size() >= cap) {
        std::memcpy(data_.data(), bytes.data() + bytes.size() - cap, cap);
        head_ = 0;
        size_ = cap;
        return;
    }
    const std::size_t first = std::min(bytes.size(), cap - head_);
    std::memcpy(data_.data() + head_, bytes.data(), first);
    std::memcpy(data_.data(), bytes.data() + first, bytes.size() - first);
    head_ += bytes.size();
    if (head_ >= cap) {
        head_ -= cap;
    }
    size_ = std::min(cap, size_ + bytes.size());
}

void TraceRing::Clear() {
    head_ = 0;
    size_ = 0;
    ++revision_;
    ++generation_;
}

bool TraceRing::Since(std::uint64_t from, std::string& out) const {
    if (from > end_ || end_ - from > size_) {
        return false;
    }
    const auto count = static_cast<std::size_t>(end_ - from);
    const std::size_t cap = data_.size();
    const std::size_t start = (head_ + cap - count) % cap;
    const std::size_t first = std::min(count, cap - start);
    out.resize(count);
    std::memcpy(out.data(), data_.data() + start, first);
    std::memcpy(out.data() + first, data_.data(), count - first);
    return true;
}

std::string TraceRing::Contents() const {
    std::string out;
    out.reserve(size_);
    const std::size_t start = (head_ + data_.size() - size_) % data_.size();
    const std::size_t first = std::min(size_, data_.size() - start);
    out.append(data_.data() + start, first);
    out.append(data_.data(), size_ - first);
    return out;
}
