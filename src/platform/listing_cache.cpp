#include "platform/listing_cache.h"

#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace platform {
namespace {

bool FolderIdentity(const std::string& folder, std::uint64_t& device, std::uint64_t& inode) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    device = static_cast<std::uint64_t>(st.st_dev);
    inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

}  // namespace

#if defined(__linux__)

ListingCache::ListingCache() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

ListingCache::~ListingCache() {
    if (fd_ != -1) {
        ::close(fd_);
    }
}

void ListingCache::ReadReports() {
    alignas(inotify_event) char buffer[16 * 1024];
    while (true) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                ForgetAll();  // reports were lost: nothing remembered can be trusted
                continue;
            }
            const auto it = folderByWatch_.find(event->wd);
            if (it == folderByWatch_.end()) {
                continue;
            }
            if ((event->mask & IN_IGNORED) != 0) {
                folders_.erase(it->second);
                folderByWatch_.erase(it);
                continue;
            }
            if (auto folder = folders_.find(it->second); folder != folders_.end()) {
                folder->second.changed = true;
                folder->second.listed = false;
                folder->second.listing.reset();
            }
        }
    }
}

void ListingCache::ForgetAll() {
    for (const auto& [watch, folder] : folderByWatch_) {
        ::inotify_rm_watch(fd_, watch);
    }
    folderByWatch_.clear();
    folders_.clear();
}

ListingCache::Listing ListingCache::Find(const std::string& folder) {
    if (fd_ == -1) {
        return nullptr;
    }
    ReadReports();
    const auto it = folders_.find(folder);
    if (it == folders_.end() || !it->second.listed) {
        return nullptr;
    }
    // The path may name another folder now (a folder above it renamed): the reports speak
    // only of the folder watched.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    if (!FolderIdentity(folder, device, inode) || device != it->second.device ||
        inode != it->second.inode) {
        it->second.listed = false;
        it->second.listing.reset();
        return nullptr;
    }
    return it->second.listing;
}

bool ListingCache::Watch(const std::string& folder) {
    if (fd_ == -1 || IsRemoteFileSystem(folder)) {
        return false;
    }
    if (folders_.size() >= kMaxFolders && folders_.find(folder) == folders_.end()) {
        ForgetAll();
    }
    Folder& f = folders_[folder];
    f.listed = false;
    f.changed = false;
    if (!FolderIdentity(folder, f.device, f.inode)) {
        folders_.erase(folder);
        return false;
    }
    const int watch = ::inotify_add_watch(
        fd_, folder.c_str(),
        IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
            IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW | IN_ONLYDIR);
    if (watch == -1) {
        folders_.erase(folder);
        return false;
    }
    folderByWatch_[watch] = folder;
    return true;
}

void ListingCache::Store(const std::string& folder, Listing listing) {
    ReadReports();
    const auto it = folders_.find(folder);
    if (it == folders_.end() || it->second.changed) {
        return;  // changed while it was listed: the listing may be a mix of before and after
    }
    if (!listing->changesReported) {
        return;
    }
    it->second.listing = std::move(listing);
    it->second.listed = true;
}

#else

ListingCache::ListingCache() = default;
ListingCache::~ListingCache() = default;
void ListingCache::ReadReports() {}
void ListingCache::ForgetAll() {}
ListingCache::Listing ListingCache::Find(const std::string&) {
    return nullptr;
}
bool ListingCache::Watch(const std::string&) {
    return false;
}
void ListingCache::Store(const std::string&, Listing) {}

#endif

}  // namespace platform
