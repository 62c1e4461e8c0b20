#include "mail_service/maildrop.h"

#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/text_number.h"
#include "platform/file_system.h"
#include "platform/listing_cache.h"

#include <charconv>
#include <limits>

MaildropStore::MaildropStore(std::string root)
    : root_(std::move(root)), cache_(std::make_unique<platform::ListingCache>()) {}

MaildropStore::~MaildropStore() = default;
MaildropStore::MaildropStore(MaildropStore&&) noexcept = default;
MaildropStore& MaildropStore::operator=(MaildropStore&&) noexcept = default;

std::string MaildropStore::UserFolder(std::string_view user) const {
    return platform::JoinPath(root_, user);
}

std::shared_ptr<const platform::FolderListing> MaildropStore::ListMessages(
    std::string_view user) const {
    const std::string folder = UserFolder(user);
    if (auto remembered = cache_->Find(folder)) {
        return remembered;
    }
    const bool watched = cache_->Watch(folder);
    auto listing = std::make_shared<const platform::FolderListing>(platform::ListFolder(folder));
    if (watched) {
        cache_->Store(folder, listing);
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

void ScanMaildrop(ConnectionSlot& slot, const MaildropStore& store) {
    slot.ClearSnapshot();
    slot.owner = slot.user;
    slot.listing = store.ListMessages(slot.owner);
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
    if (!stream->Open(store.UserFolder(slot.owner), message.name, message.identity)) {
        return nullptr;
    }
    return stream;
}

bool RemoveMarkedMessages(const ConnectionSlot& slot, const MaildropStore& store) {
    const platform::StoreFolder folder(store.UserFolder(slot.owner));
    bool allRemoved = true;
    for (std::size_t i = 0; i < slot.marks.size(); ++i) {
        if (slot.marks[i] == 'D' &&
            platform::RemoveIfSame(folder, slot.Message(i).name, slot.Message(i).identity) ==
                platform::RemoveResult::Failed) {
            allRemoved = false;
        }
    }
    return allRemoved;
}
