#pragma once
// The file operations of the maildrop store. Names and paths are bytes. Nothing here follows a
// symbolic link below the store root, so no link can lead outside it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What makes a file the same file later: a name can be given to new mail at any time.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t changeSeconds = 0;
    std::int64_t changeNanoseconds = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct MessageFileEntry {
    std::string name;
    std::int64_t size = 0;
    FileIdentity identity;
};

// `folder` joined under `root` with one separator.
std::string JoinPath(std::string_view root, std::string_view name);

bool IsDirectory(const std::string& path);

// The regular files directly in `folder`, sorted bytewise by name: no folders, no links, no
// names beginning with '.'. A folder that is missing or is itself a link yields nothing. A
// file that vanishes while being listed is left out.
std::vector<MessageFileEntry> ListFolder(const std::string& folder);

// A message file open for reading. Opened without following links and without blocking, and
// refused unless it is a regular file (a folder, pipe or device put in its place).
class MessageFile {
public:
    MessageFile() = default;
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;
    ~MessageFile();

    bool Open(const std::string& folder, const std::string& name);
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
