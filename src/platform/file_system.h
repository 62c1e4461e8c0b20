#pragma once
// The file operations of the maildrop store. Names and paths are bytes. The root is opened once
// and everything below it is reached through that descriptor; nothing here follows a symbolic
// link at or below the root, so no link, and no root replaced while the program runs, can lead
// outside it.

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
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
    std::string name;  // in a Maildir, the base name (before ":2,"), which names the message
    std::int64_t size = 0;
    FileIdentity identity;
    // Where the file was listed below its folder when that is not `name`: in a Maildir,
    // "new/NAME" or "cur/NAME:2,FLAGS".
    std::string path;

    const std::string& PathBelow() const { return path.empty() ? name : path; }
};

// A folder's messages as listed at one moment.
struct FolderListing {
    std::vector<MessageFileEntry> entries;
    // Whether the kernel's reports on the folder cover every change that could alter the
    // listing: a local file system, and no message with another link elsewhere (a change made
    // through that link is reported only in the other folder).
    bool changesReported = true;
};

// Where a file system object is: its device and inode. Two paths name the same folder when
// they lead to the same one.
struct NodeId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator==(const NodeId&) const = default;
};

// What `path` names now, without following a link in its last step; nothing when it names
// nothing.
std::optional<NodeId> NodeIdAt(const std::string& path);

// A folder of the store held open: everything below it is reached through it, never by a
// path, so a folder renamed or replaced by a link after it was opened changes nothing for
// its holder. Cheap to move; closed when it goes.
class StoreFolder {
public:
    StoreFolder() = default;  // none: every look-up in it fails
    StoreFolder(StoreFolder&& other) noexcept;
    StoreFolder& operator=(StoreFolder&& other) noexcept;
    StoreFolder(const StoreFolder&) = delete;
    StoreFolder& operator=(const StoreFolder&) = delete;
    ~StoreFolder();

    // The store root, by path. A link in the last step is not followed (nor is one behind a
    // trailing separator, which would make the kernel follow it). Opened for look-ups only:
    // it grants no reading of the root itself, and each look-up through it checks the
    // permissions of whoever the program is by then.
    static StoreFolder OpenRoot(const std::string& path);
    // The folder `name` directly in this one, open for listing, without following a link.
    // A name that is not one plain step ("", ".", "..", anything with "/") opens nothing.
    StoreFolder OpenFolder(const std::string& name) const;
    // What `name` directly in this one is, if it is a folder (a link is not followed).
    std::optional<NodeId> FolderIdOf(const std::string& name) const;
    std::optional<NodeId> Id() const;

    bool IsOpen() const { return fd_ != -1; }
    int fd() const { return fd_; }
    // Why it could not be opened (an errno value), or 0.
    int error() const { return error_; }

private:
    StoreFolder(int fd, int error) : fd_(fd), error_(error) {}

    int fd_ = -1;
    int error_ = ENOENT;
};

// The regular files directly in `folder`, sorted bytewise by name: no folders, no links, no
// names beginning with '.'. A folder that is not open yields nothing. A file that vanishes
// while being listed is left out.
FolderListing ListFolder(const StoreFolder& folder);

// Whether `folder` is a Maildir: it holds the folders cur/ and new/ (not links).
bool IsMaildir(const StoreFolder& folder);

// A Maildir's messages: the regular files of its new/ and cur/ (opened by the caller), names
// beginning with '.' left out, each named by its base name and sorted bytewise by it. A base
// name found twice (a file moved while the folders were read) is listed once.
FolderListing ListMaildir(const StoreFolder& newFolder, const StoreFolder& curFolder);

// Where the message `entry` of `folder` is now: where it was listed, or, in a Maildir, the name
// the same file has now in new/ or cur/ (another program moved it, or renamed it for its
// flags). Empty when it is nowhere.
std::string LocateMessage(const StoreFolder& folder, const MessageFileEntry& entry);

// True for file systems whose changes may be made where this kernel cannot see or report
// them: network and user-space file systems.
bool IsRemoteFileSystem(const StoreFolder& folder);

// A message file open for reading. Opened without following links and without blocking, and
// refused unless it is a regular file (a folder, pipe or device put in its place).
class MessageFile {
public:
    MessageFile() = default;
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;
    ~MessageFile();

    // Opens `name` in `folder` only if it is still the file `identity` describes. `name` may be
    // one folder down ("cur/NAME"); that folder is not reached through a link either.
    bool Open(const StoreFolder& folder, const std::string& name, const FileIdentity& identity);
    // Bytes read, 0 at the end, -1 on a read error.
    long Read(char* buffer, std::size_t capacity);
    void Close();
    // The open file, for sending spans of it; -1 when none is open.
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

enum class RemoveResult { Removed, NotThere, Failed };

// Deletes `name` in `folder` only while it is still the regular file `identity` names; a name
// that now names something else, or nothing, is left alone (NotThere).
RemoveResult RemoveIfSame(const StoreFolder& folder, const std::string& name,
                          const FileIdentity& identity);

}  // namespace platform
