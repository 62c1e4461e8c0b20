#pragma once
// The operations on a user's maildrop: the scan that makes a connection's snapshot, the
// listing, retrieval and the deletion at QUIT. Plain logic over a slot and the store root.

#include "mail_service/connection_slot.h"
#include "mail_service/pop3_channel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class MessageStream;

class MaildropStore {
public:
    explicit MaildropStore(std::string root) : root_(std::move(root)) {}
    const std::string& root() const { return root_; }
    std::string UserFolder(std::string_view user) const;

private:
    std::string root_;
};

// A user name names one folder directly under the root: not empty, not "." or "..", at most
// 255 bytes, without separators, wildcards, control bytes or DEL. 8-bit bytes are allowed.
bool IsPlainFolderName(std::string_view name);

// Replaces the slot's snapshot with the maildrop of its user, who becomes the snapshot's owner.
void ScanMaildrop(ConnectionSlot& slot, const MaildropStore& store);

// The LIST reply: status line, one line per message, ".".
void SendMessageList(const ConnectionSlot& slot, Pop3Channel& out);
// The LIST reply for one message: "+OK n size", or "-ERR no such message".
void SendListEntry(const ConnectionSlot& slot, std::int64_t number, Pop3Channel& out);

// Starts the RETR reply. Refuses a bad number or a file that cannot be opened as a regular
// file with "-ERR ..." and returns nothing; otherwise sends "+OK " and returns the stream that
// sends the message's lines and the final ".".
std::unique_ptr<MessageStream> RetrieveMessage(const ConnectionSlot& slot, std::int64_t number,
                                               const MaildropStore& store, Pop3Channel& out);

// Deletes the owner's marked files that are still the files the scan saw, then replies.
void DeleteMarkedMessages(const ConnectionSlot& slot, const MaildropStore& store, Pop3Channel& out);
