#pragma once
// Remembers the listing of a maildrop folder for as long as nothing in the folder changes, so
// logging in again to a large maildrop costs no stat per message, and every session on it
// shares one listing. The kernel reports every change to a remembered folder (inotify); any
// report, or any doubt, drops the listing. Only listings whose every change the kernel would
// report are remembered: none on network or user-space file systems, none holding a file
// with a link in another folder.

#include "platform/file_system.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

class ListingCache {
public:
    static constexpr std::size_t kMaxFolders = 256;

    ListingCache();
    ~ListingCache();
    ListingCache(const ListingCache&) = delete;
    ListingCache& operator=(const ListingCache&) = delete;

    using Listing = std::shared_ptr<const FolderListing>;

    // The remembered listing of `folder`, if nothing in it has changed since; else null.
    Listing Find(const std::string& folder);
    // Starts watching `folder`; call before listing it, so that changes made while it is
    // listed are reported. False when the folder cannot be watched (then nothing is kept).
    bool Watch(const std::string& folder);
    // Remembers the listing, unless it changed while it was made or its changes would not all
    // be reported.
    void Store(const std::string& folder, Listing listing);

private:
    struct Folder {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool listed = false;
        bool changed = false;  // reported since the watch began
        Listing listing;
    };

    void ReadReports();
    void ForgetAll();

    int fd_ = -1;
    std::unordered_map<std::string, Folder> folders_;
    std::unordered_map<int, std::string> folderByWatch_;
};

}  // namespace platform
