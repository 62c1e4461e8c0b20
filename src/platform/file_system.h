#pragma once
// The file operations of the maildrop store. Names and paths are bytes. Nothing here follows a
// symbolic link below the store root, so no link can lead outside it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What makes a file the same file later: a name can be given to new mail at any time, and an
// inode number to a new file once the old one is gone. Device and inode, and the birth time
// where the file system keeps one; where it does not, the size and the modification time. A
// new link, a changed mode or owner, a read: none of these make it another file.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool hasBirth = false;
    std::int64_t birthSeconds = 0;
    std::uint32_t birthNanoseconds = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::uint32_t modifiedNanoseconds = 0;

    bool SameFile(const FileIdentity& other) const;
};

struct MessageFileEntry {
    std::string name;
    std::int64_t size = 0;
    FileIdentity identity;
};

// A folder's messages as listed at one moment.
struct FolderListing {
    std::vector<MessageFileEntry> entries;
    // Whether the kernel's reports on the folder cover every change that could alter the
    // listing: a local file system, and no message with another link elsewhere (a change made
    // through that link is reported only in the other folder).
    bool changesReported = true;
};

// `folder` joined under `root` with one separator.
std::string JoinPath(std::string_view root, std::string_view name);

bool IsDirectory(const std::string& path);

// The regular files directly in `folder`, sorted bytewise by name: no folders, no links, no
// names beginning with '.'. A folder that is missing or is itself a link yields nothing. A
// file that vanishes while being listed is left out.
FolderListing ListFolder(const std::string& folder);

// True for file systems whose changes may be made where this kernel cannot see or report
// them: network and user-space file systems.
bool IsRemoteFileSystem(const std::string& path);

// A message file open for reading. Opened without following links and without blocking, and
// refused unless it is a regular file (a folder, pipe or device put in its place).
class MessageFile {
public:
    MessageFile() = default;
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;
    ~MessageFile();

    // Opens `name` only if it is still the file `identity` describes.
    bool Open(const std::string& folder, const std::string& name, const FileIdentity& identity);
    // Bytes read, 0 at the end, -1 on a read error.
    long Read(char* buffer, std::size_t capacity);
    void Close();

private:
    int fd_ = -1;
};

// A folder of the store held open, so that many files in it are reached without resolving its
// path each time. Opened without following a link in its last step.
class StoreFolder {
public:
    explicit StoreFolder(const std::string& path);
    StoreFolder(const StoreFolder&) = delete;
    StoreFolder& operator=(const StoreFolder&) = delete;
    ~StoreFolder();

    int fd() const { return fd_; }
    // Why it could not be opened (an errno value), or 0.
    int error() const { return error_; }

private:
    int fd_;
    int error_;
};

enum class RemoveResult { Removed, NotThere, Failed };

// Deletes `name` in `folder` only while it is still the regular file `identity` names; a name
// that now names something else, or nothing, is left alone (NotThere).
RemoveResult RemoveIfSame(const StoreFolder& folder, const std::string& name,
                          const FileIdentity& identity);

}  // namespace platform
