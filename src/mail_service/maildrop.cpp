#include "mail_service/maildrop.h"

#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/size_counting.h"
#include "mail_service/text_number.h"
#include "platform/file_system.h"
#include "platform/listing_cache.h"
#include "platform/wire_size.h"

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
      cache_(std::make_unique<platform::ListingCache>()),
      wireSizes_(std::make_unique<platform::WireSizes>()) {
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

// A listing as made from the folder, with the files whose wire size is not known yet.
struct MaildropStore::Listed {
    std::string user;
    std::shared_ptr<platform::FolderListing> made;  // null: `remembered` is the listing
    std::shared_ptr<const platform::FolderListing> remembered;
    int error = 0;
    bool watched = false;
    std::vector<platform::StoreFolder> folders;  // the files' folders, as UncountedFile names
    std::vector<UncountedFile> uncounted;
    std::int64_t uncountedBytes = 0;

    std::shared_ptr<const platform::FolderListing> Listing() const {
        return made != nullptr ? made : remembered;
    }
};

MaildropStore::Listed MaildropStore::List(const std::string& user) const {
    Listed listed;
    listed.user = user;
    const platform::StoreFolder& root = LookAtRoot();
    if ((listed.remembered = cache_->Find(root, user))) {
        return listed;
    }
    platform::StoreFolder folder = root.OpenFolder(user);
    // No folder at all is no mail; a folder that is there and cannot be read is worth telling.
    if (!folder.IsOpen() && root.IsOpen() && folder.error() != ENOENT) {
        listed.error = folder.error();
    }
    if (platform::IsMaildir(folder)) {
        platform::StoreFolder fresh = folder.OpenFolder("new");
        platform::StoreFolder seen = folder.OpenFolder("cur");
        listed.watched = cache_->Watch(user, folder, {&fresh, &seen});
        listed.made = std::make_shared<platform::FolderListing>(platform::ListMaildir(fresh, seen));
        listed.folders.push_back(std::move(fresh));
        listed.folders.push_back(std::move(seen));
    } else {
        listed.watched = cache_->Watch(user, folder);
        listed.made = std::make_shared<platform::FolderListing>(platform::ListFolder(folder));
        listed.folders.push_back(std::move(folder));
    }
    for (platform::MessageFileEntry& entry : listed.made->entries) {
        if (const std::optional<std::int64_t> known = wireSizes_->Known(entry.identity)) {
            entry.size = *known;
            continue;
        }
        // A Maildir's entries are listed as "new/NAME" or "cur/NAME", its two folders in turn.
        const bool inCur = entry.path.starts_with("cur/");
        listed.uncounted.push_back({inCur ? 1u : 0u,
                                    entry.path.empty() ? entry.name : entry.path.substr(4),
                                    entry.identity});
        listed.uncountedBytes += entry.identity.size;
    }
    return listed;
}

void MaildropStore::Complete(Listed& listed,
                             const std::vector<std::optional<std::int64_t>>& sizes) const {
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (sizes[i]) {
            wireSizes_->Remember(listed.uncounted[i].identity, *sizes[i]);
        }
    }
    if (!sizes.empty()) {
        // A file that could not be read keeps its size, and is tried again next time.
        for (platform::MessageFileEntry& entry : listed.made->entries) {
            entry.size = wireSizes_->Known(entry.identity).value_or(entry.size);
        }
    }
    if (listed.watched) {
        cache_->Store(listed.user, listed.made);
    }
}

std::shared_ptr<const platform::FolderListing> MaildropStore::ListMessages(std::string_view user,
                                                                           int* error) const {
    Listed listed = List(std::string(user));
    if (error != nullptr) {
        *error = listed.error;
    }
    if (listed.made != nullptr) {
        Complete(listed, CountFiles(listed.folders, listed.uncounted));
    }
    return listed.Listing();
}

void MaildropStore::ListMessages(std::string_view user, ListingDone done) const {
    const std::string name(user);
    if (counting_ != nullptr &&
        counting_->Join(name, [this, name, done] { ListMessages(name, done); })) {
        return;
    }
    auto listed = std::make_shared<Listed>(List(name));
    if (listed->made == nullptr || counting_ == nullptr ||
        (listed->uncounted.size() <= SizeCounting::kInlineFiles &&
         listed->uncountedBytes <= SizeCounting::kInlineBytes)) {
        if (listed->made != nullptr) {
            Complete(*listed, CountFiles(listed->folders, listed->uncounted));
        }
        done(listed->Listing(), listed->error);
        return;
    }
    std::vector<platform::StoreFolder> folders = std::move(listed->folders);
    counting_->Start(name, std::move(folders), listed->uncounted,
                     [this, listed, done](std::vector<std::optional<std::int64_t>> sizes) {
                         Complete(*listed, sizes);
                         done(listed->Listing(), listed->error);
                     });
}

void MaildropStore::CountOffLoop() {
    if (counting_ == nullptr) {
        counting_ = std::make_unique<SizeCounting>();
    }
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
    // Sizes are never below zero, so only the top can be reached.
    std::int64_t total = 0;
    for (const platform::MessageFileEntry& entry : listing.entries) {
        total = entry.size > std::numeric_limits<std::int64_t>::max() - total
                    ? std::numeric_limits<std::int64_t>::max()
                    : total + entry.size;
    }
    return total;
}

int ScanMaildrop(ConnectionSlot& slot, const MaildropStore& store) {
    int error = 0;
    TakeSnapshot(slot, store.ListMessages(slot.user, &error));
    return error;
}

void TakeSnapshot(ConnectionSlot& slot, std::shared_ptr<const platform::FolderListing> listing) {
    slot.ClearSnapshot();
    slot.owner = slot.user;
    slot.listing = std::move(listing);
    slot.marks.assign(slot.listing->entries.size(), ' ');
    slot.totalCount = slot.MessageCount();
    slot.totalSize = TotalSize(*slot.listing);
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
