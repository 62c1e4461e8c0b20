#pragma once
// One connection's record: what the window shows for it and what its conversation knows.
// Plain data; the window shows one record at a time through one set of controls.

#include "platform/file_system.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

struct ConnectionSlot {
    // The fields shown as text. Bytes, converted only when displayed.
    std::string request;               // the last request line
    std::string socket;                // the handle, in decimal
    std::string state;                 // "Authorisation", "Transaction" or "Update"
    std::string user;                  // as the last USER gave it, up to the longest valid name
    bool userTooLong = false;          // the last USER gave more: no PASS can succeed
    bool authenticationBegun = false;  // USER or PASS seen: too late to start TLS
    std::string totalCount;
    std::string totalSize;

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

// A record keeps no more of a request line than the window shows, and of a user name no more
// than a valid one can have: what a client sends cannot pin memory in the records.
inline constexpr std::size_t kShownRequestLength = 1000;
inline constexpr std::size_t kLongestUserName = 255;

inline constexpr char kStateAuthorisation[] = "Authorisation";
inline constexpr char kStateTransaction[] = "Transaction";
inline constexpr char kStateUpdate[] = "Update";
