#include "mail_service/proxy_header.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

constexpr std::string_view kV1Signature = "PROXY ";
constexpr std::string_view kV2Signature{"\r\n\r\n\0\r\nQUIT\n", 12};
constexpr std::size_t kV1Most = 107;
constexpr std::size_t kV2Fixed = 16;

ProxyHeader Bad(std::string_view problem) {
    ProxyHeader header;
    header.status = ProxyHeader::Status::Malformed;
    header.problem = problem;
    return header;
}

bool StartsLike(std::string_view bytes, std::string_view signature) {
    const std::size_t n = std::min(bytes.size(), signature.size());
    return bytes.substr(0, n) == signature.substr(0, n);
}

// The next word up to a blank (or the end), moving `line` past it and the one blank.
std::string_view Word(std::string_view& line) {
    const std::size_t blank = line.find(' ');
    const std::string_view word = line.substr(0, blank);
    line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    return word;
}

bool Port(std::string_view text, int& port) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, port);
    return !text.empty() && text.size() <= 5 && result.ec == std::errc() && result.ptr == end &&
           port >= 0 && port <= 65535 && (text.size() == 1 || text.front() != '0');
}

ProxyHeader ReadV1(std::string_view bytes) {
    const std::size_t lineFeed = bytes.find('\n');
    if (lineFeed == std::string_view::npos) {
        return bytes.size() >= kV1Most ? Bad("v1 header too long") : ProxyHeader{};
    }
    if (bytes[lineFeed - 1] != '\r') {  // the signature comes first, so lineFeed > 0
        return Bad("v1 header with a bare LF");
    }
    const std::size_t end = lineFeed - 1;
    if (end + 2 > kV1Most) {
        return Bad("v1 header too long");
    }
    ProxyHeader header;
    header.status = ProxyHeader::Status::Ok;
    header.size = end + 2;
    std::string_view line = bytes.substr(kV1Signature.size(), end - kV1Signature.size());
    const std::string_view family = Word(line);
    if (family == "UNKNOWN") {
        return header;  // whatever follows is ignored
    }
    if (family != "TCP4" && family != "TCP6") {
        return Bad("v1 header with an unknown protocol");
    }
    const std::string_view source = Word(line);
    const std::string_view destination = Word(line);
    const std::string_view sourcePort = Word(line);
    const std::string_view destinationPort = line;
    const auto from = platform::IpAddress::Parse(source);
    const auto to = platform::IpAddress::Parse(destination);
    const bool v4 = family == "TCP4";
    int ignored = 0;
    // inet_pton takes dotted IPv4 inside an IPv6 text too, so the family is checked on the
    // text: a TCP6 address has a colon, a TCP4 one none.
    if (!from || !to || (source.find(':') == std::string_view::npos) != v4 ||
        (destination.find(':') == std::string_view::npos) != v4 || !Port(sourcePort, header.port) ||
        !Port(destinationPort, ignored)) {
        return Bad("v1 header with bad addresses");
    }
    header.carries = true;
    header.address = *from;
    return header;
}

ProxyHeader ReadV2(std::string_view bytes) {
    if (bytes.size() < kV2Fixed) {
        return {};
    }
    const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned version = byte(12) >> 4;
    const unsigned command = byte(12) & 0xf;
    const unsigned family = byte(13) >> 4;
    const unsigned transport = byte(13) & 0xf;
    const std::size_t length = (std::size_t{byte(14)} << 8) | byte(15);
    if (version != 2) {
        return Bad("v2 header of another version");
    }
    if (command > 1) {
        return Bad("v2 header with an unknown command");
    }
    if (kV2Fixed + length > kMostProxyHeader) {
        return Bad("v2 header too long");
    }
    if (bytes.size() < kV2Fixed + length) {
        return {};
    }
    ProxyHeader header;
    header.status = ProxyHeader::Status::Ok;
    header.size = kV2Fixed + length;
    if (command == 0 || family == 0) {
        return header;  // LOCAL (a health check) or unspecified: the connection's own peer
    }
    if (transport != 1 || (family != 1 && family != 2)) {
        return Bad("v2 header of something other than TCP");
    }
    const std::string_view block = bytes.substr(kV2Fixed, length);
    const std::size_t need = family == 1 ? 12 : 36;
    if (block.size() < need) {
        return Bad("v2 header with a short address block");
    }
    const std::size_t addressSize = family == 1 ? 4 : 16;
    if (family == 1) {
        std::uint32_t v4;
        std::memcpy(&v4, block.data(), 4);
        header.address = platform::IpAddress::FromIpv4(v4);
    } else {
        unsigned char v6[16];
        std::memcpy(v6, block.data(), 16);
        header.address = platform::IpAddress::FromIpv6(v6);
    }
    const auto* ports = reinterpret_cast<const unsigned char*>(block.data() + 2 * addressSize);
    header.port = (ports[0] << 8) | ports[1];
    header.carries = true;
    return header;
}

}  // namespace

ProxyHeader ReadProxyHeader(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    if (StartsLike(bytes, kV2Signature)) {
        return ReadV2(bytes);
    }
    if (StartsLike(bytes, kV1Signature)) {
        return bytes.size() < kV1Signature.size() ? ProxyHeader{} : ReadV1(bytes);
    }
    return Bad("no PROXY header");
}
