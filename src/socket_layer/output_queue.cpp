#include "socket_layer/output_queue.h"

void OutputQueue::Consume(std::size_t count) {
    start_ += count;
    if (start_ >= data_.size()) {
        data_.clear();
        start_ = 0;
    } else if (start_ >= 64 * 1024 && start_ >= data_.size() / 2) {
        data_.erase(0, start_);
        start_ = 0;
    }
}

void OutputQueue::Release() {
    std::string().swap(data_);
    start_ = 0;
}

void OutputQueue::ReleaseIfDrained() {
    if (empty() && data_.capacity() > 16 * 1024) {
        Release();
    }
}
