#include "mail_service/maildrop.h"

#include "mail_service/message_stream.h"
#include "platform/file_system.h"

#include <charconv>

namespace {

constexpr std::string_view kNoSuchMessage = "-ERR no such message";

void AppendNumber(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

bool InRange(const ConnectionSlot& slot, std::int64_t number) {
    return number >= 1 && number <= slot.MessageCount();
}

}  // namespace

std::string MaildropStore::UserFolder(std::string_view user) const {
    return platform::JoinPath(root_, user);
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
    for (platform::MessageFileEntry& entry :
         platform::ListMessageFiles(store.UserFolder(slot.owner))) {
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

void SendMessageList(const ConnectionSlot& slot, Pop3Channel& out) {
    std::string line = "+OK ";
    line += slot.totalCount;
    line += " Messages";
    out.SendLine(line);
    std::string listing;
    listing.reserve(slot.sizes.size() * 16);
    for (std::size_t i = 0; i < slot.sizes.size(); ++i) {
        AppendNumber(listing, static_cast<std::int64_t>(i) + 1);
        listing += ' ';
        AppendNumber(listing, slot.sizes[i]);
        listing += "\r\n";
    }
    if (!listing.empty()) {
        out.SendLines(listing);
    }
    out.SendLine(".");
}

void SendListEntry(const ConnectionSlot& slot, std::int64_t number, Pop3Channel& out) {
    if (!InRange(slot, number)) {
        out.SendLine(kNoSuchMessage);
        return;
    }
    std::string line = "+OK ";
    AppendNumber(line, number);
    line += ' ';
    AppendNumber(line, slot.sizes[static_cast<std::size_t>(number - 1)]);
    out.SendLine(line);
}

std::unique_ptr<MessageStream> RetrieveMessage(const ConnectionSlot& slot, std::int64_t number,
                                               const MaildropStore& store, Pop3Channel& out) {
    if (!InRange(slot, number)) {
        out.SendLine(kNoSuchMessage);
        return nullptr;
    }
    auto stream = std::make_unique<MessageStream>();
    if (!stream->Open(store.UserFolder(slot.owner),
                      slot.names[static_cast<std::size_t>(number - 1)])) {
        out.SendLine("-ERR message unavailable");
        return nullptr;
    }
    out.SendLine("+OK ");
    return stream;
}

void DeleteMarkedMessages(const ConnectionSlot& slot, const MaildropStore& store,
                          Pop3Channel& out) {
    const platform::StoreFolder folder(store.UserFolder(slot.owner));
    bool allRemoved = true;
    for (std::size_t i = 0; i < slot.marks.size(); ++i) {
        if (slot.marks[i] == 'D' &&
            platform::RemoveIfSame(folder, slot.names[i], slot.identities[i]) ==
                platform::RemoveResult::Failed) {
            allRemoved = false;
        }
    }
    out.SendLine(allRemoved ? "+OK " : "-ERR some deleted messages not removed");
}
