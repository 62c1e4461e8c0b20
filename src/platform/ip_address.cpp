#include "platform/ip_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace platform {

IpAddress IpAddress::FromIpv4(std::uint32_t address) {
    IpAddress result;
    std::memcpy(result.bytes_.data() + 12, &address, 4);
    return result;
}

IpAddress IpAddress::FromIpv6(const unsigned char (&bytes)[16]) {
    IpAddress result;
    std::memcpy(result.bytes_.data(), bytes, 16);
    return result;
}

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
    if (text.empty() || text.size() > INET6_ADDRSTRLEN) {
        return std::nullopt;
    }
    const std::string copy(text);
    in_addr v4{};
    if (::inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
        return FromIpv4(v4.s_addr);
    }
    unsigned char v6[16];
    if (::inet_pton(AF_INET6, copy.c_str(), v6) == 1) {
        return FromIpv6(v6);
    }
    return std::nullopt;
}

bool IpAddress::IsIpv4() const {
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes_.data(), kMapped, sizeof kMapped) == 0;
}

std::uint32_t IpAddress::Ipv4() const {
    std::uint32_t address;
    std::memcpy(&address, bytes_.data() + 12, 4);
    return address;
}

void IpAddress::AppendText(std::string& out) const {
    char text[INET6_ADDRSTRLEN];
    if (IsIpv4()) {
        const std::uint32_t v4 = Ipv4();
        out.append(::inet_ntop(AF_INET, &v4, text, sizeof text));
        return;
    }
    // RFC 5952: the longest run of two or more zero groups (the first of equals) becomes "::",
    // hex in lower case; unlike inet_ntop, no embedded IPv4 form for ::a.b.c.d.
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = (unsigned{bytes_[2 * i]} << 8) | bytes_[2 * i + 1];
    }
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) {
            ++j;
        }
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out.append("::");
            i += bestLength - 1;
            continue;
        }
        if (i > 0 && i != bestStart + bestLength) {
            out += ':';
        }
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (groups[i] >> shift) & 0xf;
            if (digit != 0 || started || shift == 0) {
                out += kHex[digit];
                started = true;
            }
        }
    }
}

std::string IpAddress::ToText() const {
    std::string out;
    AppendText(out);
    return out;
}

void IpAddress::AppendWithPort(std::string& out, int port) const {
    const bool v6 = !IsIpv4();
    if (v6) {
        out += '[';
    }
    AppendText(out);
    out.append(v6 ? "]:" : ":");
    char digits[12];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, port).ptr);
}

std::optional<IpNetwork> IpNetwork::Parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const std::optional<IpAddress> address = IpAddress::Parse(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    const int most = address->IsIpv4() ? 32 : 128;
    int bits = most;
    if (slash != std::string_view::npos) {
        const std::string_view length = text.substr(slash + 1);
        const char* end = length.data() + length.size();
        const auto result = std::from_chars(length.data(), end, bits);
        if (length.empty() || result.ec != std::errc() || result.ptr != end || bits < 0 ||
            bits > most) {
            return std::nullopt;
        }
    }
    IpNetwork network;
    network.bits_ = bits + (128 - most);
    std::array<unsigned char, 16> bytes = address->Bytes();
    for (int i = 0; i < 16; ++i) {
        const int kept = std::clamp(network.bits_ - i * 8, 0, 8);
        bytes[static_cast<std::size_t>(i)] &= static_cast<unsigned char>(0xff00 >> kept);
    }
    unsigned char raw[16];
    std::memcpy(raw, bytes.data(), 16);
    network.base_ = IpAddress::FromIpv6(raw);
    return network;
}

bool IpNetwork::Contains(const IpAddress& address) const {
    const auto& a = address.Bytes();
    const auto& b = base_.Bytes();
    const int whole = bits_ / 8;
    if (std::memcmp(a.data(), b.data(), static_cast<std::size_t>(whole)) != 0) {
        return false;
    }
    const int rest = bits_ % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<unsigned char>(0xff00 >> rest);
    return (a[static_cast<std::size_t>(whole)] & mask) == b[static_cast<std::size_t>(whole)];
}

}  // namespace platform
