#pragma once
// One connection's record: what the window shows for it and what its conversation knows.
// Plain data; the window shows one record at a time through one set of controls.

#include "platform/file_system.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

struct ConnectionSlot {
    // The fields shown as text. Bytes, converted only when displayed.
    std::string request;  // the last request line
    std::string socket;   // the handle, in decimal
    std::string state;    // "Authorisation", "Transaction" or "Update"
    std::string user;     // as the last USER gave it
    std::string totalCount;
    std::string totalSize;

    // The maildrop snapshot: three parallel lists, entry i for message i + 1.
    std::vector<char> marks;  // ' ' or 'D'
    std::vector<std::int64_t> sizes;
    std::vector<std::string> names;
    // Not shown: which file each name named at the scan, and whose maildrop it is.
    std::vector<platform::FileIdentity> identities;
    std::string owner;

    // Bumped whenever the lists are replaced or released, so a view knows to reload them.
    std::uint64_t listsRevision = 0;
    // The marks changed since a view last looked: rows [marksChangedFrom, marksChangedTo].
    std::size_t marksChangedFrom = std::numeric_limits<std::size_t>::max();
    std::size_t marksChangedTo = 0;

    std::int64_t MessageCount() const { return static_cast<std::int64_t>(names.size()); }
    void SetMark(std::size_t index, char mark);
    bool MarksChanged() const { return marksChangedFrom <= marksChangedTo; }
    void ForgetMarkChanges();
    void ClearSnapshot();
    // Frees the lists of a connection long closed; its text fields stay.
    void ReleaseLists();
};

inline constexpr char kStateAuthorisation[] = "Authorisation";
inline constexpr char kStateTransaction[] = "Transaction";
inline constexpr char kStateUpdate[] = "Update";
