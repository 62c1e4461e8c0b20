#pragma once
// Storing one message for its recipients: the only way mail gets into the store. The message
// is streamed into the first recipient's hidden temporary file (never held whole in memory),
// copied from there for the others, and each copy is committed (synced, renamed to a unique
// name that sorts after every earlier delivery, folder synced) before it counts as delivered.

#include "mail_service/maildrop.h"
#include "platform/new_message_file.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct DeliveryRules {
    bool createMaildrops = false;  // a user without a folder gets one
    std::string catchAll;          // else mail for a user without a folder goes here; empty: none
    std::int64_t maxMessageSize = std::int64_t{64} << 20;
};

enum class DeliveryOutcome {
    Delivered,
    UnknownUser,  // an unsafe name, or no folder and no rule that makes one or takes the mail
    BadInput,     // empty, or unreadable
    TooBig,       // larger than the rules allow: nothing is kept
    Failed,       // the store could not take it now (space, permissions, no root)
};

struct DeliveryReport {
    DeliveryOutcome outcome = DeliveryOutcome::Delivered;
    std::string user;                 // the recipient the outcome is about, when it is about one
    int error = 0;                    // an errno value, for Failed
    std::vector<std::string> stored;  // "folder/name" of each message committed
    // The users, as named, whose copy was committed: all of them when Delivered, the ones
    // before the failure otherwise.
    std::vector<std::string> deliveredUsers;
};

// Reads the message: bytes read, 0 at its end, -1 on an error.
using MessageReader = std::function<long(char* buffer, std::size_t capacity)>;

// Stores the message `read` gives for every user in `users` (a user named twice, or two that
// end in the same folder, get it once). Every recipient is resolved before anything is read:
// one unknown user stores nothing. Files are owned by whoever the program runs as. `root` is
// the store's root (MaildropStore::RootFolder), looked at by the caller: deliveries on workers
// use it as it is, and never touch the store's own state.
DeliveryReport DeliverMessage(const platform::StoreFolder& root,
                              const std::vector<std::string>& users, const DeliveryRules& rules,
                              const MessageReader& read,
                              platform::StoreStepObserver observer = nullptr);

// Whether mail for `user` could be taken now, without storing anything and without making a
// folder: Delivered, UnknownUser, or Failed (with `error`) when the store cannot be read.
DeliveryOutcome CheckRecipient(const platform::StoreFolder& root, const std::string& user,
                               const DeliveryRules& rules, int& error);

// A message's file name, as Maildir makes them: the seconds since the epoch (ten digits), the
// microseconds, the process and a per-process counter, then the host ("/" and ":" escaped).
// Fixed widths make byte order arrival order.
std::string DeliveryName(std::int64_t seconds, std::uint32_t microseconds, long pid,
                         std::uint32_t counter, std::string_view host);

// This machine's name, as delivered names and greetings give it ("localhost" when it has none).
std::string LocalHostName();
