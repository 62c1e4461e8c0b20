#include "mail_service/sasl.h"

#include <array>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> DecodingTable() {
    std::array<signed char, 256> table{};
    table.fill(-1);
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
    return table;
}

constexpr std::array<signed char, 256> kDecoding = DecodingTable();

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // Padding only at the very end, and at most two of it.
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (padding == 1 && text[i + 2] == '=') {
            return std::nullopt;
        }
        unsigned value = 0;
        for (int j = 0; j < 4; ++j) {
            const signed char digit =
                j >= 4 - padding ? 0 : kDecoding[static_cast<unsigned char>(text[i + j])];
            if (digit < 0) {
                return std::nullopt;
            }
            value = value << 6 | static_cast<unsigned>(digit);
        }
        out += static_cast<char>(value >> 16 & 0xff);
        if (padding < 2) {
            out += static_cast<char>(value >> 8 & 0xff);
        }
        if (padding < 1) {
            out += static_cast<char>(value & 0xff);
        }
    }
    return out;
}

std::optional<PlainCredentials> ReadPlainMessage(std::string_view message) {
    const std::size_t first = message.find('\0');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t second = message.find('\0', first + 1);
    if (second == std::string_view::npos ||
        message.find('\0', second + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    PlainCredentials credentials{std::string(message.substr(0, first)),
                                 std::string(message.substr(first + 1, second - first - 1)),
                                 std::string(message.substr(second + 1))};
    if (credentials.user.empty()) {
        return std::nullopt;
    }
    return credentials;
}
