#pragma once
// Remembers the listings of the folders in one parent folder (the maildrop root) for as long
// as nothing in them changes, so logging in again to a large maildrop costs no stat per
// message, and every session on it shares one listing. The kernel reports every change to a
// remembered folder (inotify, on the folder actually opened, not on its path); any report, or
// any doubt, drops the listing. Only listings whose every change the kernel would report are
// remembered: none on network or user-space file systems, none holding a file with a link in
// another folder.

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

    // The remembered listing of the folder `name` in `parent`, if the name still leads to the
    // folder watched and nothing in it has changed since; else null.
    Listing Find(const StoreFolder& parent, const std::string& name);
    // Starts watching `folder`, opened as `name`, and the folders `inside` it whose files its
    // listing holds (a Maildir's new/ and cur/); call before listing it, so that changes made
    // while it is listed are reported. False when it cannot be watched (then nothing is kept).
    bool Watch(const std::string& name, const StoreFolder& folder,
               const std::vector<const StoreFolder*>& inside = {});
    // Remembers the listing, unless it changed while it was made or its changes would not all
    // be reported.
    void Store(const std::string& name, Listing listing);

private:
    struct Folder {
        NodeId id;
        int watch = -1;
        std::vector<int> inside;  // the watches of the folders inside it that are listed too
        bool listed = false;
        bool changed = false;  // reported since the watch began
        Listing listing;
    };

    void ReadReports();
    // A watch on `folder` reporting to `name`: its number, or -1.
    int AddWatch(const std::string& name, const StoreFolder& folder);
    void ForgetAll();

    int fd_ = -1;
    std::unordered_map<std::string, Folder> folders_;
    std::unordered_map<int, std::string> folderByWatch_;
};

}  // namespace platform
