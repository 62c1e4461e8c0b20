#include "mail_service/connection_slot.h"

#include "mail_service/text_number.h"

#include <algorithm>

std::string_view StateText(SessionState state) {
    switch (state) {
        case SessionState::None:
            return {};
        case SessionState::Authorisation:
            return "Authorisation";
        case SessionState::Transaction:
            return "Transaction";
        case SessionState::Update:
            return "Update";
    }
    return {};
}

std::string ShownState(const ConnectionSlot& slot) {
    switch (slot.kind) {
        case SessionKind::Pop3:
            break;
        case SessionKind::Lmtp:
            return "LMTP " + std::string(slot.stage);
        case SessionKind::Smtp:
            return "SMTP " + std::string(slot.stage);
    }
    return std::string(StateText(slot.state));
}

void AppendShownNumber(std::string& out, std::int64_t value) {
    if (value >= 0) {
        AppendDecimal(out, value);
    }
}

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
