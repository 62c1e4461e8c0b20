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

// Counts the file `name` in the folder `dirFd`, if it is still the file `identity` describes;
// nothing when it cannot be read (or is another file by now). Safe on any thread.
std::optional<std::int64_t> CountWireSize(int dirFd, const char* name,
                                          const FileIdentity& identity);
// How many files CountWireSize has read, on every thread together, for tests.
std::uint64_t WireSizeFilesRead();

// The wire sizes counted so far, remembered by device and inode for as long as the file keeps
// its size and modification time. Used on one thread.
class WireSizes {
public:
    // Past this many files everything is forgotten and counted again as it is listed.
    static constexpr std::size_t kMaxFiles = 1'000'000;

    WireSizes() = default;
    WireSizes(const WireSizes&) = delete;
    WireSizes& operator=(const WireSizes&) = delete;

    std::optional<std::int64_t> Known(const FileIdentity& identity) const;
    void Remember(const FileIdentity& identity, std::int64_t wireSize);

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
    struct Entry {
        FileIdentity identity;
        std::int64_t wireSize;
    };

    std::unordered_map<Key, Entry, KeyHash> known_;
};

}  // namespace platform
