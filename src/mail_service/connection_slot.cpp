#include "mail_service/connection_slot.h"

#include <algorithm>

void ConnectionSlot::SetMark(std::size_t index, char mark) {
    marks[index] = mark;
    marksChangedFrom = std::min(marksChangedFrom, index);
    marksChangedTo = std::max(marksChangedTo, index);
}

void ConnectionSlot::ForgetMarkChanges() {
    marksChangedFrom = std::numeric_limits<std::size_t>::max();
    marksChangedTo = 0;
}

void ConnectionSlot::ClearSnapshot() {
    marks.clear();
    listing.reset();
    owner.clear();
    ForgetMarkChanges();
    ++listsRevision;
}

void ConnectionSlot::ReleaseLists() {
    std::vector<char>().swap(marks);
    listing.reset();
    ForgetMarkChanges();
    ++listsRevision;
}
