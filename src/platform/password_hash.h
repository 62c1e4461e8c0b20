#pragma once
// crypt(3) hashes as mkpasswd and `openssl passwd` make them (yescrypt, SHA-512-crypt, ...).
// Safe to call from any thread.

#include <string>

namespace platform {

// Whether `hash` is a hash this system's crypt can check.
bool IsUsableHash(const std::string& hash);
// Whether `password` hashes to `hash`. Slow on purpose, as the hash method is.
bool PasswordMatches(const std::string& password, const std::string& hash);

}  // namespace platform
