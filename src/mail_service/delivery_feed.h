#pragma once
// A message on its way from a connection to the store: the event loop hands it over in chunks
// as it arrives, a worker reads them and writes the file. At most a few chunks wait, so memory
// stays bounded whatever the message's size; while the feed is full the loop reads no more of
// that connection, and is told when there is room again. The lock is held only to move a chunk
// in or out, never across a write to the disk.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class DeliveryFeed {
public:
    // The loop hands over about this much at a time...
    static constexpr std::size_t kChunk = 256 * 1024;
    // ...and no more than this many chunks wait for the worker.
    static constexpr std::size_t kChunksHeld = 4;

    // `room` runs on the worker's thread when a full feed has room again (once per time it
    // was found full).
    explicit DeliveryFeed(std::function<void()> room) : room_(std::move(room)) {}

    // The loop's side. Push takes the chunk and says whether there is room for another; once
    // the worker is done (or the feed cancelled) chunks are dropped, and there is always room.
    bool Push(std::string chunk);
    bool Full() const;
    // The message is complete: the reader sees its end once it has the chunks before.
    void End();
    // The message will not be complete (its connection is gone, or it is too big): the reader
    // fails at once and what was written is not kept.
    void Cancel();

    // The worker's side, as a MessageReader: bytes read, 0 at the end, -1 once cancelled.
    long Read(char* buffer, std::size_t capacity);
    // The worker takes no more: whatever is pushed from now on is dropped.
    void Finish();

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> chunks_;
    std::size_t taken_ = 0;  // bytes of the first chunk already read
    bool ended_ = false;
    bool cancelled_ = false;
    bool finished_ = false;
    bool wantsRoom_ = false;  // the loop found the feed full and waits to be told
    std::function<void()> room_;
};
