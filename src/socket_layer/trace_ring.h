#pragma once
// The trace: the last `capacity` bytes of everything appended, kept in a ring so that an
// append costs in proportion to what is appended, never to what is already held.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TraceRing {
public:
    static constexpr std::size_t kDefaultCapacity = 30000;

    explicit TraceRing(std::size_t capacity = kDefaultCapacity);

    void Append(std::string_view bytes);
    void Clear();

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return data_.size(); }
    // Changes whenever the contents change, so a view can skip repainting what it shows.
    std::uint64_t revision() const { return revision_; }
    // The held bytes, oldest first.
    std::string Contents() const;

    // Every byte appended since the ring was made counts here, cleared or not, so a view can
    // ask for just what came after what it shows.
    std::uint64_t end() const { return end_; }
    // Bumped by Clear: what a view shows from before is gone.
    std::uint64_t generation() const { return generation_; }
    // The bytes appended after position `from` (a former end()), if the ring still holds them
    // all; false once some have been overwritten.
    bool Since(std::uint64_t from, std::string& out) const;

private:
    std::vector<char> data_;
    std::size_t head_ = 0;  // where the next byte goes
    std::size_t size_ = 0;
    std::uint64_t revision_ = 0;
    std::uint64_t end_ = 0;
    std::uint64_t generation_ = 0;
};
