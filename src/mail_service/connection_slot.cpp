#include "mail_service/connection_slot.h"

void ConnectionSlot::ClearSnapshot() {
    marks.clear();
    sizes.clear();
    names.clear();
    identities.clear();
    owner.clear();
    ++listsRevision;
}

void ConnectionSlot::ReleaseLists() {
    std::vector<char>().swap(marks);
    std::vector<std::int64_t>().swap(sizes);
    std::vector<std::string>().swap(names);
    std::vector<platform::FileIdentity>().swap(identities);
    ++listsRevision;
}
