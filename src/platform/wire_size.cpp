#include "platform/wire_size.h"

#include "platform/byte_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kReadBlock = 128 * 1024;
// Larger files are asked for their holes, which hold only zero bytes and need not be read.
constexpr std::int64_t kLookForHoles = 1 << 20;

// The same contents as when it was counted: the same file, and neither resized nor modified.
bool Unchanged(const FileIdentity& then, const FileIdentity& now) {
    return then.SameFile(now) && then.size == now.size &&
           then.modifiedSeconds == now.modifiedSeconds &&
           then.modifiedNanoseconds == now.modifiedNanoseconds;
}

// Reads [from, to) of `fd` into `counter`; false on a read error or a short file.
bool CountRange(int fd, std::int64_t from, std::int64_t to, std::vector<char>& buffer,
                WireSizeCounter& counter) {
    while (from < to) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::int64_t>(to - from, kReadBlock));
        const ssize_t n = ::pread(fd, buffer.data(), want, from);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        counter.Take(buffer.data(), static_cast<std::size_t>(n));
        from += n;
    }
    return true;
}

std::atomic<std::uint64_t> filesRead{0};

}  // namespace

void WireSizeCounter::Take(const char* bytes, std::size_t length) {
    if (length == 0) {
        return;
    }
    size_ += static_cast<std::int64_t>(length);
    const char* p = bytes;
    const char* const end = bytes + length;
    std::uint64_t crBefore = last_ == '\r' ? 1 : 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; end - p >= 64; p += 64) {
        const std::uint64_t crs = Matches64(p, cr);
        const std::uint64_t lfs = Matches64(p, lf);
        crs_ += __builtin_popcountll(crs);
        lfs_ += __builtin_popcountll(lfs);
        pairs_ += __builtin_popcountll(lfs & ((crs << 1) | crBefore));
        crBefore = crs >> 63;
    }
#endif
    for (; p < end; ++p) {
        if (*p == '\r') {
            ++crs_;
        } else if (*p == '\n') {
            ++lfs_;
            pairs_ += static_cast<std::int64_t>(crBefore);
        }
        crBefore = *p == '\r' ? 1 : 0;
    }
    last_ = end[-1];
}

void WireSizeCounter::TakeZeros(std::int64_t length) {
    if (length > 0) {
        size_ += length;
        last_ = 0;
    }
}

std::int64_t WireSizeCounter::Total() const {
    // Each lone CR and lone LF gains one byte; a last line without an ending gains CR LF.
    const std::int64_t lone = (crs_ - pairs_) + (lfs_ - pairs_);
    const bool unended = size_ > 0 && last_ != '\n' && last_ != '\r';
    return size_ + lone + (unended ? 2 : 0);
}

std::int64_t WireSizeOf(std::string_view text) {
    WireSizeCounter counter;
    counter.Take(text.data(), text.size());
    return counter.Total();
}

std::optional<std::int64_t> WireSizes::Known(const FileIdentity& identity) const {
    const auto it = known_.find(Key{identity.device, identity.inode});
    if (it == known_.end() || !Unchanged(it->second.identity, identity)) {
        return std::nullopt;
    }
    return it->second.wireSize;
}

void WireSizes::Remember(const FileIdentity& identity, std::int64_t wireSize) {
    if (known_.size() >= kMaxFiles) {
        known_.clear();
    }
    known_.insert_or_assign(Key{identity.device, identity.inode}, Entry{identity, wireSize});
}

std::uint64_t WireSizeFilesRead() {
    return filesRead.load(std::memory_order_relaxed);
}

std::optional<std::int64_t> CountWireSize(int dirFd, const char* name,
                                          const FileIdentity& identity) {
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return std::nullopt;
    }
    filesRead.fetch_add(1, std::memory_order_relaxed);
    struct stat st {};
    // Only the file listed: a name given to another file since then is counted next time.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_ino) != identity.inode || st.st_size != identity.size) {
        ::close(fd);
        return std::nullopt;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    thread_local std::vector<char> buffer(kReadBlock);
    WireSizeCounter counter;
    const std::int64_t size = identity.size;
    bool complete = true;
    for (std::int64_t at = 0; at < size && complete;) {
        std::int64_t data = at;
        std::int64_t hole = size;
        if (size >= kLookForHoles) {
            // Where holes cannot be found, the whole file is data.
            const off_t found = ::lseek(fd, at, SEEK_DATA);
            data = found != -1 ? std::min<std::int64_t>(found, size) : errno == ENXIO ? size : at;
            const off_t end = data < size ? ::lseek(fd, data, SEEK_HOLE) : -1;
            hole = end > data ? std::min<std::int64_t>(end, size) : size;
        }
        counter.TakeZeros(data - at);
        complete = data == size || CountRange(fd, data, hole, buffer, counter);
        at = hole;
    }
    ::close(fd);
    if (!complete) {
        return std::nullopt;  // a read error, or shortened while read
    }
    return counter.Total();
}

}  // namespace platform
