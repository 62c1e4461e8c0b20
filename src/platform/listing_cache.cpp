#include "platform/listing_cache.h"

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>

#if defined(__linux__)
#include <sys/inotify.h>
#endif

namespace platform {

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
                // The folder is gone, or its watch was dropped; a watch made since under the
                // same name is not this one.
                if (auto folder = folders_.find(it->second);
                    folder != folders_.end() &&
                    (folder->second.watch == event->wd ||
                     std::find(folder->second.inside.begin(), folder->second.inside.end(),
                               event->wd) != folder->second.inside.end())) {
                    folders_.erase(folder);
                }
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

ListingCache::Listing ListingCache::Find(const StoreFolder& parent, const std::string& name) {
    if (fd_ == -1) {
        return nullptr;
    }
    ReadReports();
    const auto it = folders_.find(name);
    if (it == folders_.end() || !it->second.listed) {
        return nullptr;
    }
    // The name may lead to another folder now (renamed, replaced): the reports speak only of
    // the folder watched.
    if (parent.FolderIdOf(name) != it->second.id) {
        it->second.listed = false;
        it->second.listing.reset();
        return nullptr;
    }
    return it->second.listing;
}

int ListingCache::AddWatch(const std::string& name, const StoreFolder& folder) {
    constexpr std::uint32_t kChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE |
                                       IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                                       IN_MOVE_SELF | IN_ONLYDIR;
    if (!folder.IsOpen() || !folder.Id()) {
        return -1;
    }
    // inotify takes a path: this process's link to the open folder leads to that very folder,
    // whatever its path names now. Followed on purpose, so no IN_DONT_FOLLOW.
    const std::string self = "/proc/self/fd/" + std::to_string(folder.fd());
    const int watch = ::inotify_add_watch(fd_, self.c_str(), kChanges);
    if (watch == -1) {
        return -1;
    }
    // One folder has one watch however it is reached (a bind mount can show it under two
    // names): its reports now come to this name only, so the other forgets its listing.
    if (const auto other = folderByWatch_.find(watch);
        other != folderByWatch_.end() && other->second != name) {
        folders_.erase(other->second);
    }
    folderByWatch_[watch] = name;
    return watch;
}

bool ListingCache::Watch(const std::string& name, const StoreFolder& folder,
                         const std::vector<const StoreFolder*>& inside) {
    if (fd_ == -1 || !folder.IsOpen() || IsRemoteFileSystem(folder)) {
        return false;
    }
    if (folders_.size() >= kMaxFolders && folders_.find(name) == folders_.end()) {
        ForgetAll();
    }
    const std::optional<NodeId> id = folder.Id();
    std::vector<int> watches{AddWatch(name, folder)};
    for (const StoreFolder* sub : inside) {
        watches.push_back(AddWatch(name, *sub));
    }
    // The name led to other folders before: their reports are of no use any more. (Watching a
    // folder again gives the same watch, which stays.)
    if (const auto before = folders_.find(name); before != folders_.end()) {
        std::vector<int> old = before->second.inside;
        old.push_back(before->second.watch);
        for (const int watch : old) {
            if (watch != -1 && std::find(watches.begin(), watches.end(), watch) == watches.end()) {
                ::inotify_rm_watch(fd_, watch);
                folderByWatch_.erase(watch);
            }
        }
    }
    if (!id || std::find(watches.begin(), watches.end(), -1) != watches.end()) {
        for (const int watch : watches) {
            if (watch != -1) {
                ::inotify_rm_watch(fd_, watch);
                folderByWatch_.erase(watch);
            }
        }
        folders_.erase(name);
        return false;
    }
    folders_[name] =
        Folder{*id, watches[0], {watches.begin() + 1, watches.end()}, false, false, nullptr};
    return true;
}

void ListingCache::Store(const std::string& name, Listing listing) {
    ReadReports();
    const auto it = folders_.find(name);
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
ListingCache::Listing ListingCache::Find(const StoreFolder&, const std::string&) {
    return nullptr;
}
bool ListingCache::Watch(const std::string&, const StoreFolder&,
                         const std::vector<const StoreFolder*>&) {
    return false;
}
void ListingCache::Store(const std::string&, Listing) {}

#endif

}  // namespace platform
