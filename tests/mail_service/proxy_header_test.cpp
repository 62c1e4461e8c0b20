#include "mail_service/proxy_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Status = ProxyHeader::Status;

const std::string kV2(std::string("\r\n\r\n\0\r\nQUIT\n", 12));

// A v2 header: command byte, family byte, then the block after the length.
std::string V2(unsigned char command, unsigned char family, const std::string& block) {
    std::string header = kV2;
    header += static_cast<char>(command);
    header += static_cast<char>(family);
    header += static_cast<char>(block.size() >> 8);
    header += static_cast<char>(block.size() & 0xff);
    return header + block;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

const std::string kV4Block = Bytes({203, 0, 113, 7, 127, 0, 0, 1, 0x30, 0x39, 0, 110});
const std::string kV6Block =
    Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    5,    0, 0,
           0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xfe, 0, 110});
// Two TLVs (ALPN, a NOOP) after the addresses.
const std::string kTlvs = Bytes({0x01, 0, 2, 'h', '2', 0x04, 0, 3, 0, 0, 0});

}  // namespace

TEST(ProxyHeader, ReadsBothVersionsWholeOrInPiecesAndRefusesBadOnes) {
    struct Case {
        std::string bytes;
        Status status;
        const char* address;  // Ok: the carried client, or null to keep the real peer
        int port;
        std::size_t size;  // Ok: where the connection's own bytes begin
    };
    const std::string v1 = "PROXY TCP4 192.0.2.9 127.0.0.1 40000 110\r\n";
    const std::string v1v6 = "PROXY TCP6 2001:db8::5 ::1 65535 995\r\n";
    const std::string v2v4 = V2(0x21, 0x11, kV4Block + kTlvs);
    const std::string v2v6 = V2(0x21, 0x21, kV6Block);
    const std::string tooLong = "PROXY TCP6 " + std::string(100, 'f') + "\r\n";
    const Case cases[] = {
        {v1 + "USER a\r\n", Status::Ok, "192.0.2.9", 40000, v1.size()},
        {v1v6, Status::Ok, "2001:db8::5", 65535, v1v6.size()},
        {"PROXY UNKNOWN\r\nCAPA\r\n", Status::Ok, nullptr, 0, 15},
        {"PROXY UNKNOWN ffff::1 ::1 1 2\r\n", Status::Ok, nullptr, 0, 31},
        {v2v4 + "\x16\x03\x01", Status::Ok, "203.0.113.7", 12345, v2v4.size()},
        {v2v6, Status::Ok, "2001:db8::5", 65534, v2v6.size()},
        {V2(0x20, 0x00, ""), Status::Ok, nullptr, 0, 16},          // LOCAL: a health check
        {V2(0x20, 0x11, kV4Block), Status::Ok, nullptr, 0, 28},    // LOCAL with addresses
        {V2(0x21, 0x00, kTlvs), Status::Ok, nullptr, 0, 16 + 11},  // PROXY, unspecified
        // Not finished yet.
        {"", Status::NeedMore, nullptr, 0, 0},
        {"PROX", Status::NeedMore, nullptr, 0, 0},
        {v1.substr(0, v1.size() - 1), Status::NeedMore, nullptr, 0, 0},
        {kV2.substr(0, 5), Status::NeedMore, nullptr, 0, 0},
        {v2v4.substr(0, 15), Status::NeedMore, nullptr, 0, 0},
        {v2v4.substr(0, v2v4.size() - 1), Status::NeedMore, nullptr, 0, 0},
        // Bad ones.
        {"USER a\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXYTCP4\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP4 192.0.2.9 127.0.0.1 40000\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP4 2001:db8::5 ::1 1 2\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP6 192.0.2.9 127.0.0.1 1 2\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP4 192.0.2.9 127.0.0.1 65536 1\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP4 192.0.2.9 127.0.0.1 01 1\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP4 192.0.2.9  127.0.0.1 1 1\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY UDP4 192.0.2.9 127.0.0.1 1 1\r\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY TCP4 192.0.2.9 127.0.0.1 1 1\n", Status::Malformed, nullptr, 0, 0},
        {"PROXY UNKNOWN x\ny\r\n", Status::Malformed, nullptr, 0, 0},
        {tooLong, Status::Malformed, nullptr, 0, 0},
        {tooLong.substr(0, 107), Status::Malformed, nullptr, 0, 0},    // no CR LF in time
        {V2(0x11, 0x11, kV4Block), Status::Malformed, nullptr, 0, 0},  // version 1 in v2
        {V2(0x22, 0x11, kV4Block), Status::Malformed, nullptr, 0, 0},  // unknown command
        {V2(0x21, 0x12, kV4Block), Status::Malformed, nullptr, 0, 0},  // datagram
        {V2(0x21, 0x31, std::string(216, 'x')), Status::Malformed, nullptr, 0, 0},  // unix
        {V2(0x21, 0x21, kV4Block), Status::Malformed, nullptr, 0, 0},  // short for IPv6
        {V2(0x21, 0x11, std::string(5000, '\0')).substr(0, 16), Status::Malformed, nullptr, 0,
         0},  // longer than is taken
    };
    for (const Case& c : cases) {
        const ProxyHeader got = ReadProxyHeader(c.bytes);
        EXPECT_EQ(got.status, c.status) << testing::PrintToString(c.bytes);
        if (c.status != Status::Ok || got.status != Status::Ok) {
            continue;
        }
        EXPECT_EQ(got.size, c.size) << testing::PrintToString(c.bytes);
        EXPECT_EQ(got.carries, c.address != nullptr) << testing::PrintToString(c.bytes);
        if (c.address != nullptr) {
            EXPECT_EQ(got.address.ToText(), c.address);
            EXPECT_EQ(got.port, c.port);
        }
    }
    // Byte by byte, every prefix of a good header needs more, and the whole is read at once.
    for (const std::string& header : {v1, v1v6, v2v4, v2v6}) {
        for (std::size_t n = 0; n < header.size(); ++n) {
            EXPECT_EQ(ReadProxyHeader(header.substr(0, n)).status, Status::NeedMore) << n;
        }
        EXPECT_EQ(ReadProxyHeader(header).size, header.size());
    }
}
