#pragma once
// One connection's record: what the window shows for it and what its conversation knows.
// Plain data; the window shows one record at a time through one set of controls.

#include "platform/file_system.h"
#include "platform/ip_address.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Where an AUTH exchange stands: which response line the server waits for, if any.
enum class SaslStep : std::uint8_t { None, PlainResponse, LoginUser, LoginPassword };

// A conversation's state as the window shows it; None for slot 0, which has no connection.
enum class SessionState : std::uint8_t { None, Authorisation, Transaction, Update };
// "", "Authorisation", "Transaction", "Update".
std::string_view StateText(SessionState state);
// What a connection speaks: POP3 to a mail client, or LMTP or SMTP to a sender of mail.
enum class SessionKind : std::uint8_t { Pop3, Lmtp, Smtp };

struct ConnectionSlot {
    // The fields the window shows, as data: text is made only where a value is shown. The
    // request and the user are bytes, converted only when displayed.
    std::string request;  // the last request line
    int socket = -1;      // the handle; none (shown empty) for slot 0
    SessionState state = SessionState::None;
    SessionKind kind = SessionKind::Pop3;
    // LMTP and SMTP: where the conversation stands ("Ready", "Data", ...), a constant's text.
    std::string_view stage;
    std::string user;                  // as the last USER gave it, up to the longest valid name
    bool userTooLong = false;          // the last USER gave more: no PASS can succeed
    bool authenticationBegun = false;  // USER, PASS or AUTH seen: too late to start TLS
    SaslStep saslStep = SaslStep::None;
    std::string saslUser;          // the user a LOGIN exchange named, until its password comes
    std::int64_t totalCount = -1;  // -1: no maildrop scanned yet (shown empty)
    std::int64_t totalSize = -1;

    // Who the connection is, as the log names it: its number and the client's address and
    // port.
    int number = 0;
    platform::IpAddress peerAddress;
    std::uint16_t peerPort = 0;
    // Came through a balancer, which is this address (the peer above is the client its PROXY
    // header named).
    bool proxied = false;
    platform::IpAddress proxyAddress;
    std::uint16_t proxyPort = 0;
    // What the session did, for its logout line: RETR replies begun and their messages' sizes.
    std::int64_t retrieved = 0;
    std::int64_t retrievedBytes = 0;
    bool loggedOut = false;           // its logout line is written
    bool loginRefusalLogged = false;  // one line per connection for refused logins

    // The maildrop snapshot, entry i for message i + 1: the listing (name, size and which file
    // the name named), shared by every session on the same maildrop while the folder does not
    // change, and this session's own deletion marks.
    std::shared_ptr<const platform::FolderListing> listing;
    std::vector<char> marks;  // ' ' or 'D'
    std::string owner;        // whose maildrop it is
    // The file list shows one empty entry and nothing else: the listening slot, as designed.
    bool blankFileEntry = false;

    // Bumped whenever the lists are replaced or released, so a view knows to reload them.
    std::uint64_t listsRevision = 0;
    // The marks changed since a view last looked: rows [marksChangedFrom, marksChangedTo].
    std::size_t marksChangedFrom = std::numeric_limits<std::size_t>::max();
    std::size_t marksChangedTo = 0;

    std::int64_t MessageCount() const {
        return listing ? static_cast<std::int64_t>(listing->entries.size()) : 0;
    }
    const platform::MessageFileEntry& Message(std::size_t entry) const {
        return listing->entries[entry];
    }
    void SetMark(std::size_t index, char mark);
    bool MarksChanged() const { return marksChangedFrom <= marksChangedTo; }
    void ForgetMarkChanges();
    void ClearSnapshot();
    // Frees the lists of a connection long closed; its text fields stay.
    void ReleaseLists();
};

// The state field as the window shows it: the POP3 state, or "LMTP Data" and the like.
std::string ShownState(const ConnectionSlot& slot);

// A record keeps no more of a request line than the window shows, and of a user name no more
// than a valid one can have: what a client sends cannot pin memory in the records.
inline constexpr std::size_t kShownRequestLength = 1000;
inline constexpr std::size_t kLongestUserName = 255;

// A count or size as shown: decimal, or nothing for -1 (none yet).
void AppendShownNumber(std::string& out, std::int64_t value);
