#include "mail_service/unique_id.h"

#include <openssl/evp.h>

namespace {

bool UsableAsItStands(std::string_view name) {
    if (name.empty() || name.size() > 70 || name.front() == '=') {
        return false;
    }
    for (const char c : name) {
        if (c < 0x21 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string UniqueId(std::string_view fileName) {
    if (UsableAsItStands(fileName)) {
        return std::string(fileName);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(fileName.data(), fileName.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id = "=";
    for (unsigned int i = 0; i < length; ++i) {
        id += kHex[digest[i] >> 4];
        id += kHex[digest[i] & 15];
    }
    return id;
}
