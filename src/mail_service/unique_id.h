#pragma once
// The unique-id of a message, as UIDL reports it: 1 to 70 bytes from 0x21 to 0x7E, unique within
// a maildrop and the same in every session for as long as the file keeps its name.
//
// A file name that is itself a valid unique-id and does not begin with "=" is its own id, so a
// client's records stay readable. Any other name gets "=" followed by the 64 hexadecimal digits
// of the SHA-256 of its bytes: no name used as it stands begins with "=", so the two kinds never
// meet, and two names meet only if their hashes do.

#include <string>
#include <string_view>

std::string UniqueId(std::string_view fileName);
