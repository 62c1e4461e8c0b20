#pragma once
// The options: the command line and the configuration file, both read through the table of
// options (options_table.h).

#include "platform/ip_address.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Options {
    int port = 110;
    std::string root = "/Post Office/";
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
    std::string logLevel = "info";       // error, warning, info or debug
    std::string traceFile;               // --trace-file FILE; empty: the trace stays in memory
    std::size_t maxConnections = 10000;  // 0: no limit
    std::size_t maxPerAddress = 100;     // 0: no limit
    std::string trustedNetworks;         // --trusted-networks CIDR,...; checked when set
    std::string proxyFrom;               // --proxy-from CIDR,...: balancers; checked when set
    std::string passwords;               // --passwords FILE; empty: the password is the user name
    bool requireTls = false;             // USER and PASS only on encrypted connections
    bool lockMaildrop = false;           // one logged-in session per maildrop
    // --listen, IPv4 or IPv6, any number; none: every address of both families.
    std::vector<platform::IpAddress> listenAddresses;
    std::string user;  // --user: whom to run as when started as root; empty: the root's owner
    // TLS: a certificate and key from PEM files, or a certificate made at start; both empty
    // and no self-signed one means no TLS.
    std::string tlsCertificate;
    std::string tlsKey;
    bool tlsSelfSigned = false;
    int pop3sPort = -1;  // the implicit-TLS port; -1: none, 0: any free port
    // Mail in: LMTP and SMTP ports (-1: none, 0: any free port) and how mail is stored.
    int lmtpPort = -1;
    int smtpPort = -1;
    std::string lmtpSocket;          // --lmtp-socket PATH: LMTP on a local socket too
    unsigned lmtpSocketMode = 0660;  // its permissions
    std::string lmtpSocketGroup;     // and its group; empty: the process's
    std::string domains;             // --domains LIST: the recipient domains SMTP takes; empty: any
    std::string catchAll;
    bool createMaildrops = false;
    std::int64_t maxMessageSize = std::int64_t{64} << 20;
    bool probeResponsiveness = false;  // benchmark aid
    std::string config;                // --config FILE; empty: none
    bool check = false;                // --check: validate, print the settings and exit
    bool help = false;
    bool version = false;
};

// What the command line and the configuration file it names come to.
struct ParsedOptions {
    Options options;
    // Each one sentence, shown as "drennik: PROBLEM"; a configuration file's name their file
    // and line. Empty: `options` may be used.
    std::vector<std::string> problems;
    // Some problem is the command line's own, so the usage is worth showing.
    bool badCommandLine = false;
};

// Reads the command line; with --config, first the file it names, which the command line then
// overrides option by option. `--name=value` and `--name value` both work; a flag also takes
// `--name=yes` or `--name=no`, so the command line can turn off what the file turns on.
ParsedOptions ParseOptions(int argc, const char* const* argv);

bool TlsWanted(const Options& options);
// What no single option can say (a certificate without its key, a TLS port without TLS): the
// problem, or empty.
std::string Conflict(const Options& options);
std::string Usage();
// Every option the configuration file may set, one "name = value" line each, in the table's
// order: what --check prints, itself a configuration file that gives the same settings.
std::string DescribeOptions(const Options& options);
