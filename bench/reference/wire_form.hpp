// The wire form of a message as a RETR reply body: dot-stuffed, ended by ".\r\n".
#pragma once

#include <cstdint>
#include <string>

namespace ref {

// Writes the wire form of message file `message` to `wire`; returns its size in bytes.
// Throws std::runtime_error on an I/O error.
std::uint64_t writeWireForm(const std::string& message, const std::string& wire);

}  // namespace ref
