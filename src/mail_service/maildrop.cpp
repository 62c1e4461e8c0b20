#include "mail_service/maildrop.h"

#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/text_number.h"
#include "platform/file_system.h"
#include "platform/listing_cache.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

struct MaildropStore::Root {
    platform::StoreFolder folder;
    platform::NodeId id;  // of the folder open, to tell when the path names another
    bool toldReplaced = false;

    void Open(const std::string& path) {
        folder = platform::StoreFolder::OpenRoot(path);
        id = folder.Id().value_or(platform::NodeId{});
    }
};

MaildropStore::MaildropStore(std::string root)
    : root_(std::move(root)),
      open_(std::make_unique<Root>()),
      cache_(std::make_unique<platform::ListingCache>()) {
    open_->Open(root_);
}

MaildropStore::~MaildropStore() = default;
MaildropStore::MaildropStore(MaildropStore&&) noexcept = default;
MaildropStore& MaildropStore::operator=(MaildropStore&&) noexcept = default;

std::string MaildropStore::RootProblem() const {
    const platform::StoreFolder& folder = open_->folder;
    if (folder.IsOpen()) {
        return {};
    }
    const std::string what = "the maildrop root " + root_;
    switch (folder.error()) {
        case ENOENT:
            return what + " does not exist; every maildrop is empty";
        case ELOOP:
            return what + " is a symbolic link, which is not followed; every maildrop is empty";
        default:
            return what + " cannot be opened (" + std::strerror(folder.error()) +
                   "); every maildrop is empty";
    }
}

const platform::StoreFolder& MaildropStore::LookAtRoot() const {
    Root& root = *open_;
    if (!root.folder.IsOpen()) {
        root.Open(root_);
        return root.folder;
    }
    if (!root.toldReplaced) {
        const std::optional<platform::NodeId> now = platform::NodeIdAt(root_);
        if (now && *now != root.id) {
            root.toldReplaced = true;
            std::fprintf(stderr,
                         "drennik: warning: the maildrop root %s was replaced; still serving the "
                         "one opened at start\n",
                         root_.c_str());
            std::fflush(stderr);
        }
    }
    return root.folder;
}

platform::StoreFolder MaildropStore::OpenUserFolder(std::string_view user) const {
    return open_->folder.OpenFolder(std::string(user));
}

std::shared_ptr<const platform::FolderListing> MaildropStore::ListMessages(std::string_view user,
                                                                           int* error) const {
    const platform::StoreFolder& root = LookAtRoot();
    const std::string name(user);
    if (error != nullptr) {
        *error = 0;
    }
    if (auto remembered = cache_->Find(root, name)) {
        return remembered;
    }
    const platform::StoreFolder folder = root.OpenFolder(name);
    // No folder at all is no mail; a folder that is there and cannot be read is worth telling.
    if (error != nullptr && !folder.IsOpen() && root.IsOpen() && folder.error() != ENOENT) {
        *error = folder.error();
    }
    bool watched = false;
    std::shared_ptr<const platform::FolderListing> listing;
    if (platform::IsMaildir(folder)) {
        const platform::StoreFolder fresh = folder.OpenFolder("new");
        const platform::StoreFolder seen = folder.OpenFolder("cur");
        watched = cache_->Watch(name, folder, {&fresh, &seen});
        listing =
            std::make_shared<const platform::FolderListing>(platform::ListMaildir(fresh, seen));
    } else {
        watched = cache_->Watch(name, folder);
        listing = std::make_shared<const platform::FolderListing>(platform::ListFolder(folder));
    }
    if (watched) {
        cache_->Store(name, listing);
    }
    return listing;
}

bool IsPlainFolderName(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.size() > 255) {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?') {
            return false;
        }
    }
    return true;
}

std::int64_t TotalSize(const platform::FolderListing& listing) {
    // Sizes are file sizes, never below zero, so only the top can be reached.
    std::int64_t total = 0;
    for (const platform::MessageFileEntry& entry : listing.entries) {
        total = entry.size > std::numeric_limits<std::int64_t>::max() - total
                    ? std::numeric_limits<std::int64_t>::max()
                    : total + entry.size;
    }
    return total;
}

int ScanMaildrop(ConnectionSlot& slot, const MaildropStore& store) {
    slot.ClearSnapshot();
    slot.owner = slot.user;
    int error = 0;
    slot.listing = store.ListMessages(slot.owner, &error);
    slot.marks.assign(slot.listing->entries.size(), ' ');
    slot.totalCount = slot.MessageCount();
    slot.totalSize = TotalSize(*slot.listing);
    return error;
}

std::optional<std::size_t> MessageEntry(const ConnectionSlot& slot, std::string_view argument,
                                        NumberRule rule) {
    const DecimalNumber number = ReadNumber(argument);
    if (rule == NumberRule::Round) {
        const std::int64_t n = RoundHalfEven(number);
        if (n < 1 || n > slot.MessageCount()) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(n - 1);
    }
    const std::int64_t entry = RoundHalfEven(MinusOne(number));
    if (entry < 0 || entry >= slot.MessageCount()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(entry);
}

std::unique_ptr<ListingStream> ListMessages(const ConnectionSlot& slot) {
    return std::make_unique<ListingStream>(slot, ListingStream::Column::Sizes);
}

std::unique_ptr<ListingStream> ListUniqueIds(const ConnectionSlot& slot) {
    return std::make_unique<ListingStream>(slot, ListingStream::Column::UniqueIds);
}

std::unique_ptr<MessageStream> OpenMessage(const ConnectionSlot& slot, std::size_t entry,
                                           const MaildropStore& store) {
    auto stream = std::make_unique<MessageStream>();
    const platform::MessageFileEntry& message = slot.Message(entry);
    const platform::StoreFolder folder = store.OpenUserFolder(slot.owner);
    const std::string path = platform::LocateMessage(folder, message);
    if (path.empty() || !stream->Open(folder, path, message.identity)) {
        return nullptr;
    }
    return stream;
}

MarkedRemoval RemoveMarkedMessages(const ConnectionSlot& slot, const MaildropStore& store) {
    std::optional<platform::StoreFolder> folder;  // opened at the first mark: most QUITs have none
    MarkedRemoval result;
    for (std::size_t i = 0; i < slot.marks.size(); ++i) {
        if (slot.marks[i] != 'D') {
            continue;
        }
        if (!folder) {
            folder = store.OpenUserFolder(slot.owner);
        }
        const platform::MessageFileEntry& message = slot.Message(i);
        errno = 0;
        const std::string path = platform::LocateMessage(*folder, message);
        switch (path.empty() ? platform::RemoveResult::NotThere
                             : platform::RemoveIfSame(*folder, path, message.identity)) {
            case platform::RemoveResult::Removed:
                ++result.removed;
                break;
            case platform::RemoveResult::NotThere:
                ++result.gone;
                break;
            case platform::RemoveResult::Failed:
                if (result.failed++ == 0) {
                    result.firstFailed = message.name;
                    // Left by the call that failed; a folder that could not be opened says why
                    // itself.
                    result.firstError = folder->IsOpen() ? errno : folder->error();
                }
                break;
        }
    }
    return result;
}
