#pragma once
// A message's size as RETR sends it: every line ending goes out as CR LF (a lone LF or a lone
// CR becomes CR LF) and a last line without an ending gets one. The "." put in front of a line
// that begins with one, and the "." that ends the reply, are not counted. Reading a file to
// count it costs a pass over its bytes, so each file is counted once for as long as it stays
// the same file with the same size and modification time.

#include "platform/file_system.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

// Counts the octets of a text taken in pieces, in order.
class WireSizeCounter {
public:
    void Take(const char* bytes, std::size_t length);
    // `length` zero bytes (a hole in a sparse file): no line ends among them.
    void TakeZeros(std::int64_t length);
    std::int64_t Total() const;

private:
    std::int64_t size_ = 0;
    std::int64_t crs_ = 0;
    std::int64_t lfs_ = 0;
    std::int64_t pairs_ = 0;  // CR LF
    char last_ = 0;
};

// The octets RETR sends for `text`.
std::int64_t WireSizeOf(std::string_view text);

// The wire sizes of the files listed, remembered by device and inode.
class WireSizes {
public:
    // Past this many files everything is forgotten and counted again as it is listed.
    static constexpr std::size_t kMaxFiles = 1'000'000;

    WireSizes() = default;
    WireSizes(const WireSizes&) = delete;
    WireSizes& operator=(const WireSizes&) = delete;

    // The wire size of the file `name` in the folder `dirFd`, described by `identity`: the
    // one remembered, or counted now. A file that cannot be read (or is another file by now)
    // keeps its size, and is tried again at the next listing.
    std::int64_t Of(int dirFd, const char* name, const FileIdentity& identity);
    // How many files were read to count them, for tests.
    std::uint64_t FilesRead() const { return filesRead_; }

private:
    struct Key {
        std::uint64_t device;
        std::uint64_t inode;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const {
            return std::hash<std::uint64_t>()(key.inode * 0x9e3779b97f4a7c15ULL ^ key.device);
        }
    };
    struct Known {
        FileIdentity identity;
        std::int64_t wireSize;
    };

    std::optional<std::int64_t> Count(int dirFd, const char* name, const FileIdentity& identity);
    // Reads [from, to) of `fd` into `counter`; false on a read error or a short file.
    bool CountRange(int fd, std::int64_t from, std::int64_t to, WireSizeCounter& counter);

    std::unordered_map<Key, Known, KeyHash> known_;
    std::vector<char> buffer_;
    std::uint64_t filesRead_ = 0;
};

}  // namespace platform
