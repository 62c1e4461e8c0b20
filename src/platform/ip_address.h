#pragma once
// A client or listening address, IPv4 or IPv6, as one value: 16 bytes in IPv6 form, an IPv4
// address kept IPv4-mapped (::ffff:a.b.c.d), so that one map key serves both families.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class IpAddress {
public:
    // 0.0.0.0: no address known (a socket pair, a test).
    IpAddress() : bytes_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0} {}
    // `address` in network order, as sockaddr_in holds it.
    static IpAddress FromIpv4(std::uint32_t address);
    static IpAddress FromIpv6(const unsigned char (&bytes)[16]);
    // "127.0.0.1", "::1", "2001:db8::5", "::ffff:10.0.0.1"; nullopt for anything else (no
    // brackets, no zone, no port).
    static std::optional<IpAddress> Parse(std::string_view text);

    bool IsIpv4() const;
    // The IPv4 address in network order; only for IsIpv4.
    std::uint32_t Ipv4() const;
    const std::array<unsigned char, 16>& Bytes() const { return bytes_; }
    // The usual text: "::1", "2001:db8::5", and an IPv4(-mapped) address as "127.0.0.1".
    std::string ToText() const;
    void AppendText(std::string& out) const;
    // As a log or trace names an endpoint: "127.0.0.1:110", "[::1]:110".
    void AppendWithPort(std::string& out, int port) const;

    bool operator==(const IpAddress& other) const { return bytes_ == other.bytes_; }

    // Cheap: per-address maps are looked up on every accept.
    std::size_t Hash() const {
        std::uint64_t high;
        std::uint64_t low;
        std::memcpy(&high, bytes_.data(), 8);
        std::memcpy(&low, bytes_.data() + 8, 8);
        const std::uint64_t mixed = (low ^ (high * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
        return static_cast<std::size_t>(mixed ^ (mixed >> 31));
    }

private:
    std::array<unsigned char, 16> bytes_;
};

struct IpAddressHash {
    std::size_t operator()(const IpAddress& address) const { return address.Hash(); }
};

// A network prefix: "10.0.0.0/8", "::1/128", "2001:db8::/32"; a bare address is the address
// alone. IPv4 prefixes are kept in the mapped range, so they contain only IPv4 clients.
class IpNetwork {
public:
    static std::optional<IpNetwork> Parse(std::string_view text);
    bool Contains(const IpAddress& address) const;

private:
    IpAddress base_;  // with the bits past the prefix cleared
    int bits_ = 0;    // of the 128
};

}  // namespace platform
