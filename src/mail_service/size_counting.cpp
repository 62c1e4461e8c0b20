#include "mail_service/size_counting.h"

#include "platform/wire_size.h"

std::vector<std::optional<std::int64_t>> CountFiles(
    const std::vector<platform::StoreFolder>& folders,
    const std::vector<UncountedFile>& uncounted) {
    std::vector<std::optional<std::int64_t>> sizes;
    sizes.reserve(uncounted.size());
    for (const UncountedFile& file : uncounted) {
        sizes.push_back(
            platform::CountWireSize(folders[file.folder].fd(), file.name.c_str(), file.identity));
    }
    return sizes;
}

SizeCounting::SizeCounting(QObject* parent) : QObject(parent) {
    // Two, so one huge maildrop does not hold up the first login to every other.
    pool_.setMaxThreadCount(2);
}

SizeCounting::~SizeCounting() {
    pool_.clear();
    pool_.waitForDone();
}

bool SizeCounting::Join(const std::string& key, std::function<void()> then) {
    const auto it = running_.find(key);
    if (it == running_.end()) {
        return false;
    }
    it->second.push_back(std::move(then));
    return true;
}

void SizeCounting::Start(const std::string& key, std::vector<platform::StoreFolder> folders,
                         std::vector<UncountedFile> uncounted, Counted counted) {
    running_[key];
    auto folderList = std::make_shared<std::vector<platform::StoreFolder>>(std::move(folders));
    pool_.start([this, key, folderList, uncounted = std::move(uncounted),
                 counted = std::move(counted)]() mutable {
        auto sizes = CountFiles(*folderList, uncounted);
        QMetaObject::invokeMethod(
            this,
            [this, key, counted = std::move(counted), sizes = std::move(sizes)]() mutable {
                counted(std::move(sizes));
                Finish(key);
            },
            Qt::QueuedConnection);
    });
}

void SizeCounting::Finish(const std::string& key) {
    const auto it = running_.find(key);
    if (it == running_.end()) {
        return;
    }
    const std::vector<std::function<void()>> waiting = std::move(it->second);
    running_.erase(it);
    for (const std::function<void()>& then : waiting) {
        then();
    }
}
