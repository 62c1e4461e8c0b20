#include "mail_service/delivery_feed.h"

#include <algorithm>
#include <cstring>

bool DeliveryFeed::Push(std::string chunk) {
    const std::lock_guard lock(mutex_);
    if (finished_ || cancelled_) {
        return true;
    }
    if (!chunk.empty()) {
        chunks_.push_back(std::move(chunk));
        arrived_.notify_one();
    }
    if (chunks_.size() >= kChunksHeld) {
        wantsRoom_ = true;
        return false;
    }
    return true;
}

bool DeliveryFeed::Full() const {
    const std::lock_guard lock(mutex_);
    return !finished_ && !cancelled_ && chunks_.size() >= kChunksHeld;
}

void DeliveryFeed::End() {
    const std::lock_guard lock(mutex_);
    ended_ = true;
    arrived_.notify_one();
}

void DeliveryFeed::Cancel() {
    const std::lock_guard lock(mutex_);
    cancelled_ = true;
    chunks_.clear();
    arrived_.notify_one();
}

long DeliveryFeed::Read(char* buffer, std::size_t capacity) {
    bool tell = false;
    long n = 0;
    {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [this] { return cancelled_ || ended_ || !chunks_.empty(); });
        if (cancelled_) {
            return -1;
        }
        if (chunks_.empty()) {
            return 0;  // ended, and everything read
        }
        const std::string& first = chunks_.front();
        const std::size_t count = std::min(capacity, first.size() - taken_);
        std::memcpy(buffer, first.data() + taken_, count);
        taken_ += count;
        n = static_cast<long>(count);
        if (taken_ == first.size()) {
            chunks_.pop_front();
            taken_ = 0;
            if (wantsRoom_ && chunks_.size() < kChunksHeld) {
                wantsRoom_ = false;
                tell = true;
            }
        }
    }
    if (tell && room_) {
        room_();
    }
    return n;
}

void DeliveryFeed::Finish() {
    bool tell = false;
    {
        const std::lock_guard lock(mutex_);
        finished_ = true;
        chunks_.clear();
        tell = wantsRoom_;
        wantsRoom_ = false;
    }
    if (tell && room_) {
        room_();
    }
}
