#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace platform {
namespace {

constexpr unsigned kStatxWanted =
    STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_NLINK | STATX_BTIME;

// statx without following a link; `flags` adds AT_EMPTY_PATH to ask about `dir` itself.
bool Statx(int dir, const char* name, int flags, struct statx& st) {
    return ::statx(dir, name, AT_SYMLINK_NOFOLLOW | flags, kStatxWanted, &st) == 0;
}

FileIdentity IdentityOf(const struct statx& st) {
    FileIdentity id;
    id.device = (static_cast<std::uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
    id.inode = st.stx_ino;
    id.hasBirth = (st.stx_mask & STATX_BTIME) != 0;
    if (id.hasBirth) {
        id.birthSeconds = st.stx_btime.tv_sec;
        id.birthNanoseconds = st.stx_btime.tv_nsec;
    }
    id.size = static_cast<std::int64_t>(st.stx_size);
    id.modifiedSeconds = st.stx_mtime.tv_sec;
    id.modifiedNanoseconds = st.stx_mtime.tv_nsec;
    return id;
}

NodeId NodeIdOf(const struct stat& st) {
    return NodeId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// A separator at the end makes the kernel follow a link in the last step, O_NOFOLLOW or not.
std::string WithoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// A name that leads exactly one step down: no separator, not "." or "..".
bool IsOneStep(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsRegular(const struct statx& st) {
    return S_ISREG(st.stx_mode);
}

// Byte order of names. The first eight bytes, as one number, settle most comparisons, and the
// entries themselves move only once.
void SortByName(std::vector<MessageFileEntry>& entries) {
    struct Key {
        std::uint64_t head;
        std::uint32_t index;
    };
    std::vector<Key> keys(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::uint64_t head = 0;
        const std::string& name = entries[i].name;
        for (std::size_t b = 0; b < 8; ++b) {
            head = head << 8 | (b < name.size() ? static_cast<unsigned char>(name[b]) : 0);
        }
        keys[i] = Key{head, static_cast<std::uint32_t>(i)};
    }
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.head != b.head) {
            return a.head < b.head;
        }
        return entries[a.index].name < entries[b.index].name;
    });
    std::vector<MessageFileEntry> sorted;
    sorted.reserve(entries.size());
    for (const Key& key : keys) {
        sorted.push_back(std::move(entries[key.index]));
    }
    entries.swap(sorted);
}

// The name a Maildir file has without its flags.
std::string BaseName(const std::string& name) {
    return name.substr(0, name.find(":2,"));
}

// The regular, non-hidden files directly in `dir`, appended to `listing`; named as they are,
// or, with a `prefix` (a Maildir's "new/" or "cur/"), by base name with the path beside.
void AppendEntries(const StoreFolder& dir, const std::string& prefix, FolderListing& listing) {
    if (dir.fd() == -1) {
        return;
    }
    const int listFd = ::dup(dir.fd());
    if (listFd == -1) {
        return;
    }
    DIR* stream = ::fdopendir(listFd);
    if (stream == nullptr) {
        ::close(listFd);
        return;
    }
    ::rewinddir(stream);  // the copy shares its offset with the folder, which may have been read
    while (const dirent* d = ::readdir(stream)) {
        if (d->d_name[0] == '.') {
            continue;
        }
        if (d->d_type != DT_REG && d->d_type != DT_UNKNOWN) {
            continue;
        }
        struct statx st {};
        if (!Statx(dir.fd(), d->d_name, 0, st) || !IsRegular(st)) {
            continue;
        }
        if (st.stx_nlink > 1) {
            listing.changesReported = false;
        }
        MessageFileEntry entry{
            d->d_name, static_cast<std::int64_t>(st.stx_size), IdentityOf(st), {}};
        if (!prefix.empty()) {
            entry.path = prefix + entry.name;
            entry.name = BaseName(entry.name);
        }
        listing.entries.push_back(std::move(entry));
    }
    ::closedir(stream);
}

// The folder a path below `folder` ends in (itself, or the one folder named before a '/',
// opened without following a link) and the path's last step.
struct Place {
    StoreFolder sub;
    int fd = -1;
    std::string leaf;
    int error = 0;
};

Place PlaceOf(const StoreFolder& folder, const std::string& path) {
    Place place;
    const std::size_t slash = path.find('/');
    if (slash == std::string::npos) {
        place.fd = folder.fd();
        place.leaf = path;
        place.error = folder.error();
        return place;
    }
    place.leaf = path.substr(slash + 1);
    place.sub = folder.OpenFolder(path.substr(0, slash));
    place.error = place.sub.error();
    place.fd = IsOneStep(place.leaf) ? place.sub.fd() : -1;
    return place;
}

}  // namespace

bool FileIdentity::SameFile(const FileIdentity& other) const {
    if (device != other.device || inode != other.inode) {
        return false;
    }
    if (hasBirth && other.hasBirth) {
        return birthSeconds == other.birthSeconds && birthNanoseconds == other.birthNanoseconds;
    }
    return size == other.size && modifiedSeconds == other.modifiedSeconds &&
           modifiedNanoseconds == other.modifiedNanoseconds;
}

bool IsRemoteFileSystem(const StoreFolder& folder) {
    struct statfs fs {};
    if (::fstatfs(folder.fd(), &fs) != 0) {
        return true;  // in doubt, nothing is remembered
    }
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0x6969:      // NFS
        case 0x517b:      // SMB
        case 0xff534d42:  // CIFS
        case 0xfe534d42:  // SMB2
        case 0x65735546:  // FUSE
        case 0x01021997:  // 9P
        case 0x00c36400:  // Ceph
        case 0x5346414f:  // AFS
        case 0x6b414653:  // kAFS
        case 0x73757245:  // Coda
        case 0x564c:      // NCP
        case 0x47504653:  // GPFS
        case 0x0bd00bd0:  // Lustre
        case 0x013111a8:  // IBRIX
        case 0xbeefdead:  // vboxsf
        case 0x786f4256:  // vboxsf (newer)
            return true;
        default:
            return false;
    }
}

std::optional<NodeId> NodeIdAt(const std::string& path) {
    struct stat st {};
    if (::lstat(WithoutTrailingSeparators(path).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return NodeIdOf(st);
}

StoreFolder::StoreFolder(StoreFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}

StoreFolder& StoreFolder::operator=(StoreFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ != -1) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
    }
    return *this;
}

StoreFolder::~StoreFolder() {
    if (fd_ != -1) {
        ::close(fd_);
    }
}

StoreFolder StoreFolder::OpenRoot(const std::string& path) {
    const std::string last = WithoutTrailingSeparators(path);
    const int fd = ::open(last.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd != -1) {
        return StoreFolder(fd, 0);
    }
    int error = errno;
    struct stat st {};
    if (error == ENOTDIR && ::lstat(last.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        error = ELOOP;  // said as a link, whatever it leads to, rather than as a file
    }
    return StoreFolder(-1, error);
}

StoreFolder StoreFolder::OpenFolder(const std::string& name) const {
    if (fd_ == -1) {
        return StoreFolder(-1, error_);
    }
    if (!IsOneStep(name)) {
        return StoreFolder(-1, ENOENT);
    }
    const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return StoreFolder(fd, fd == -1 ? errno : 0);
}

std::optional<NodeId> StoreFolder::FolderIdOf(const std::string& name) const {
    struct stat st {};
    if (fd_ == -1 || !IsOneStep(name) ||
        ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    return NodeIdOf(st);
}

std::optional<NodeId> StoreFolder::Id() const {
    struct stat st {};
    if (fd_ == -1 || ::fstat(fd_, &st) != 0) {
        return std::nullopt;
    }
    return NodeIdOf(st);
}

FolderListing ListFolder(const StoreFolder& dir) {
    FolderListing listing;
    AppendEntries(dir, {}, listing);
    SortByName(listing.entries);
    return listing;
}

bool IsMaildir(const StoreFolder& folder) {
    return folder.FolderIdOf("cur") && folder.FolderIdOf("new");
}

FolderListing ListMaildir(const StoreFolder& newFolder, const StoreFolder& curFolder) {
    FolderListing listing;
    AppendEntries(newFolder, "new/", listing);
    AppendEntries(curFolder, "cur/", listing);
    SortByName(listing.entries);
    std::vector<MessageFileEntry>& entries = listing.entries;
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const MessageFileEntry& a, const MessageFileEntry& b) {
                                  return a.name == b.name;
                              }),
                  entries.end());
    return listing;
}

std::string LocateMessage(const StoreFolder& folder, const MessageFileEntry& entry) {
    if (entry.path.empty()) {
        return entry.name;
    }
    const auto sameFile = [&](int fd, const char* name) {
        struct statx st {};
        return Statx(fd, name, 0, st) && IsRegular(st) && IdentityOf(st).SameFile(entry.identity);
    };
    if (const Place listed = PlaceOf(folder, entry.path);
        listed.fd != -1 && sameFile(listed.fd, listed.leaf.c_str())) {
        return entry.path;
    }
    // Moved or renamed since it was listed: the same file under its base name, with any flags.
    for (const char* subName : {"new", "cur"}) {
        const StoreFolder sub = folder.OpenFolder(subName);
        FolderListing found;
        AppendEntries(sub, "/", found);  // names by base name; paths "/NAME:2,FLAGS"
        for (const MessageFileEntry& candidate : found.entries) {
            if (candidate.name == entry.name && candidate.identity.SameFile(entry.identity)) {
                return subName + candidate.path;
            }
        }
    }
    return {};
}

MessageFile::~MessageFile() {
    Close();
}

bool MessageFile::Open(const StoreFolder& dir, const std::string& name,
                       const FileIdentity& identity) {
    Close();
    const Place place = PlaceOf(dir, name);
    if (place.fd == -1) {
        return false;
    }
    const int fd =
        ::openat(place.fd, place.leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    struct statx st {};
    if (!Statx(fd, "", AT_EMPTY_PATH, st) || !IsRegular(st) || !IdentityOf(st).SameFile(identity)) {
        ::close(fd);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    fd_ = fd;
    return true;
}

long MessageFile::Read(char* buffer, std::size_t capacity) {
    ssize_t n;
    do {
        n = ::read(fd_, buffer, capacity);
    } while (n == -1 && errno == EINTR);
    return static_cast<long>(n);
}

void MessageFile::Close() {
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

RemoveResult RemoveIfSame(const StoreFolder& dir, const std::string& name,
                          const FileIdentity& identity) {
    const Place place = PlaceOf(dir, name);
    if (place.fd == -1) {
        const int error = place.error;
        return error == ENOENT || error == ELOOP || error == ENOTDIR ? RemoveResult::NotThere
                                                                     : RemoveResult::Failed;
    }
    struct statx st {};
    if (!Statx(place.fd, place.leaf.c_str(), 0, st)) {
        return errno == ENOENT ? RemoveResult::NotThere : RemoveResult::Failed;
    }
    if (!IsRegular(st) || !IdentityOf(st).SameFile(identity)) {
        return RemoveResult::NotThere;  // another file under the name is new mail: kept
    }
    if (::unlinkat(place.fd, place.leaf.c_str(), 0) != 0) {
        return errno == ENOENT ? RemoveResult::NotThere : RemoveResult::Failed;
    }
    return RemoveResult::Removed;
}

}  // namespace platform
