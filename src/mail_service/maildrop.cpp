#include "mail_service/maildrop.h"

#include "mail_service/listing_stream.h"
#include "mail_service/message_stream.h"
#include "mail_service/text_number.h"
#include "platform/file_system.h"
#include "platform/listing_cache.h"

#include <charconv>

namespace {

void AppendNumber(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace

MaildropStore::MaildropStore(std::string root)
    : root_(std::move(root)), cache_(std::make_unique<platform::ListingCache>()) {}

MaildropStore::~MaildropStore() = default;
MaildropStore::MaildropStore(MaildropStore&&) noexcept = default;
MaildropStore& MaildropStore::operator=(MaildropStore&&) noexcept = default;

std::string MaildropStore::UserFolder(std::string_view user) const {
    return platform::JoinPath(root_, user);
}

std::vector<platform::MessageFileEntry> MaildropStore::ListMessages(std::string_view user) const {
    const std::string folder = UserFolder(user);
    if (auto remembered = cache_->Find(folder)) {
        return std::move(*remembered);
    }
    const bool watched = cache_->Watch(folder);
    std::vector<platform::MessageFileEntry> entries = platform::ListFolder(folder);
    if (watched) {
        cache_->Store(folder, entries);
    }
    return entries;
}

bool IsPlainFolderName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) {
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

void ScanMaildrop(ConnectionSlot& slot, const MaildropStore& store) {
    slot.ClearSnapshot();
    slot.owner = slot.user;
    std::int64_t total = 0;
    for (platform::MessageFileEntry& entry : store.ListMessages(slot.owner)) {
        total += entry.size;
        slot.marks.push_back(' ');
        slot.sizes.push_back(entry.size);
        slot.names.push_back(std::move(entry.name));
        slot.identities.push_back(entry.identity);
    }
    slot.totalCount.clear();
    AppendNumber(slot.totalCount, slot.MessageCount());
    slot.totalSize.clear();
    AppendNumber(slot.totalSize, total);
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
    return std::make_unique<ListingStream>(slot);
}

std::unique_ptr<MessageStream> OpenMessage(const ConnectionSlot& slot, std::size_t entry,
                                           const MaildropStore& store) {
    auto stream = std::make_unique<MessageStream>();
    if (!stream->Open(store.UserFolder(slot.owner), slot.names[entry])) {
        return nullptr;
    }
    return stream;
}

bool RemoveMarkedMessages(const ConnectionSlot& slot, const MaildropStore& store) {
    const platform::StoreFolder folder(store.UserFolder(slot.owner));
    bool allRemoved = true;
    for (std::size_t i = 0; i < slot.marks.size(); ++i) {
        if (slot.marks[i] == 'D' &&
            platform::RemoveIfSame(folder, slot.names[i], slot.identities[i]) ==
                platform::RemoveResult::Failed) {
            allRemoved = false;
        }
    }
    return allRemoved;
}
