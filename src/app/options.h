#pragma once
// The command line.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

struct Options {
    int port = 110;
    std::string root = "/Post Office/";
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
    std::size_t maxConnections = 10000;  // 0: no limit
    std::size_t maxPerAddress = 100;     // 0: no limit
    std::string passwords;               // --passwords FILE; empty: the password is the user name
    bool requireTls = false;             // USER and PASS only on encrypted connections
    std::uint32_t listenAddress = 0;     // --listen: IPv4, network order; 0: every address
    std::string user;  // --user: whom to run as when started as root; empty: the root's owner
    // TLS: a certificate and key from PEM files, or a certificate made at start; both empty
    // and no self-signed one means no TLS.
    std::string tlsCertificate;
    std::string tlsKey;
    bool tlsSelfSigned = false;
    int pop3sPort = -1;                // the implicit-TLS port; -1: none, 0: any free port
    bool probeResponsiveness = false;  // benchmark aid
    bool help = false;
    bool version = false;
};

// Nullopt with `error` set for a bad option or value.
bool TlsWanted(const Options& options);
std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string& error);
const char* Usage();
