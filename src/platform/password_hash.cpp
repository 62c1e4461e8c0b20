#include "platform/password_hash.h"

#include <crypt.h>

#include <cstring>
#include <memory>

namespace platform {
namespace {

// Compares without stopping at the first difference, so timing says nothing of the hash.
bool SameBytes(const char* a, const char* b, std::size_t n) {
    unsigned char diff = 0;
    for (std::size_t i = 0; i < n; ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

}  // namespace

bool IsUsableHash(const std::string& hash) {
    return !hash.empty() && hash.front() == '$' && crypt_checksalt(hash.c_str()) == CRYPT_SALT_OK;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();  // some 32 KiB: not on a worker's stack
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    // A failure gives "*" or a null pointer, never the stored hash.
    return result != nullptr && result[0] != '*' && hash.size() == std::strlen(result) &&
           SameBytes(result, hash.c_str(), hash.size());
}

}  // namespace platform
