#pragma once
// The header a load balancer puts before a connection's own bytes to say whom it carries
// (HAProxy's PROXY protocol): version 1, one text line ("PROXY TCP4 ...\r\n", "TCP6",
// "UNKNOWN"), or version 2, binary (a 12-byte signature, command, family, length, addresses,
// then TLVs, which are skipped). Read over the bytes received so far, so a header split
// across packets is read as it comes; the size it reports tells the caller where the
// connection's own bytes begin.

#include "platform/ip_address.h"

#include <cstddef>
#include <string_view>

struct ProxyHeader {
    enum class Status {
        NeedMore,   // a header may still complete: read more
        Ok,         // a whole header of `size` bytes
        Malformed,  // not a header, or a bad one: `problem` says why
    };
    Status status = Status::NeedMore;
    std::size_t size = 0;
    // Ok: the client it carries; false for v1 UNKNOWN, v2 LOCAL or an unspecified family,
    // where the connection's own peer stands.
    bool carries = false;
    platform::IpAddress address;
    int port = 0;
    std::string_view problem;
};

// The longest header taken: v1's own limit is 107 bytes; v2 headers carry TLVs, which a
// balancer keeps small.
inline constexpr std::size_t kMostProxyHeader = 4096;

ProxyHeader ReadProxyHeader(std::string_view bytes);
