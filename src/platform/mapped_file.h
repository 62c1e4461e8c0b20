#pragma once
// An open file mapped read-only whole, so a message can be read and sent without copying it.
// A file that shrinks while mapped would kill the program (SIGBUS) at the first read of a page
// past its new end; instead such a page reads as zeros and the mapping counts as cut, which the
// reader checks after reading. The kernel, reading such a page for a send, fails the send.

#include <cstddef>
#include <memory>
#include <string_view>

namespace platform {

class MappedFile {
public:
    // At most this many at once, so the fault handler looks through a small fixed table.
    static constexpr std::size_t kMostAtOnce = 256;

    // The whole of the open file `fd` (its size now), or null: empty, not mappable, or too
    // many mapped already. The descriptor may be closed afterwards.
    static std::shared_ptr<const MappedFile> Map(int fd);

    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view bytes() const { return {data_, size_}; }
    // Lets go of the pages before `offset` (they stay in the page cache): a long message read
    // from front to back keeps only its last pages in the program's memory. Reading them
    // again still works; it maps them again.
    void ReleaseBefore(std::size_t offset) const;
    // A page past the file's end has been read: some bytes read as zeros, not as the file.
    bool Cut() const;

private:
    MappedFile(const char* data, std::size_t size, std::size_t slot)
        : data_(data), size_(size), slot_(slot) {}

    const char* data_;
    std::size_t size_;
    std::size_t slot_;  // its entry in the fault handler's table
    mutable std::size_t released_ = 0;
};

}  // namespace platform
