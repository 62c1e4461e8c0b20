#include "app/options_table.h"

#include "mail_service/failure_penalty.h"
#include "mail_service/maildrop.h"
#include "mail_service/service_log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace {

bool ReadInteger(std::string_view text, long long low, long long high, long long& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value >= low &&
           value <= high;
}

std::string SetPort(int& port, std::string_view value) {
    long long number = 0;
    if (!ReadInteger(value, 0, 65535, number)) {
        return "bad port: " + std::string(value);
    }
    port = static_cast<int>(number);
    return {};
}

std::string SetLimit(std::size_t& limit, std::string_view name, std::string_view value) {
    long long number = 0;
    if (!ReadInteger(value, 0, 100'000'000, number)) {
        return "bad " + std::string(name) + ": " + std::string(value);
    }
    limit = static_cast<std::size_t>(number);
    return {};
}

// An empty name is refused: from the command line it is most often an unset shell variable.
std::string SetName(std::string& field, std::string_view value, std::string_view whenEmpty) {
    if (value.empty()) {
        return std::string(whenEmpty);
    }
    field = std::string(value);
    return {};
}

template <bool Options::*field>
std::string SetFlag(Options& options, std::string_view value) {
    options.*field = value == "yes";
    return {};
}

template <bool Options::*field>
std::string GetFlag(const Options& options) {
    return options.*field ? "yes" : "no";
}

template <std::string Options::*field>
std::string GetText(const Options& options) {
    return options.*field;
}

constexpr std::array kTable{
    OptionSpec{.name = "port",
               .valueName = "N",
               .help = "TCP port to listen on (0 picks a free port)",
               .set = [](Options& o, std::string_view v) { return SetPort(o.port, v); },
               .get = [](const Options& o) { return std::to_string(o.port); }},
    OptionSpec{.name = "listen",
               .valueName = "ADDR",
               .help = "listen on this IPv4 or IPv6 address only (may be repeated, or a\n"
                       "comma-separated list; by default every address of both)",
               .repeatable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   std::vector<platform::IpAddress> addresses;
                   for (bool more = !v.empty(); more;) {
                       const std::size_t comma = v.find(',');
                       std::string_view entry = v.substr(0, comma);
                       more = comma != std::string_view::npos;
                       v = more ? v.substr(comma + 1) : std::string_view();
                       while (!entry.empty() && entry.front() == ' ') {
                           entry.remove_prefix(1);
                       }
                       while (!entry.empty() && entry.back() == ' ') {
                           entry.remove_suffix(1);
                       }
                       const auto address = platform::IpAddress::Parse(entry);
                       if (!address) {
                           return "bad listen address (an IPv4 or IPv6 address is needed): " +
                                  std::string(entry);
                       }
                       addresses.push_back(*address);
                   }
                   o.listenAddresses = std::move(addresses);
                   return {};
               },
               .get =
                   [](const Options& o) {
                       std::string text;
                       for (const platform::IpAddress& address : o.listenAddresses) {
                           text += text.empty() ? "" : ",";
                           address.AppendText(text);
                       }
                       return text;
                   }},
    OptionSpec{.name = "root",
               .valueName = "DIR",
               .help = "maildrop root, one folder per user",
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.root, v, "the maildrop root must not be empty");
                   },
               .get = GetText<&Options::root>},
    OptionSpec{.name = "log-level",
               .valueName = "LEVEL",
               .help = "the least a log line must weigh: error, warning, info or debug",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   if (!ParseLogLevel(v)) {
                       return "bad log level (error, warning, info or debug): " + std::string(v);
                   }
                   o.logLevel = std::string(v);
                   return {};
               },
               .get = GetText<&Options::logLevel>},
    OptionSpec{.name = "trace-file",
               .valueName = "FILE",
               .help = "append every trace entry to FILE (mode 0600) as it happens;\n"
                       "reopened on SIGHUP, so it can be rotated",
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.traceFile, v, "--trace-file needs a file name");
                   },
               .get = GetText<&Options::traceFile>},
    OptionSpec{.name = "idle-timeout",
               .valueName = "SECONDS",
               .help = "close connections idle, or whose output stalls, this long",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   long long seconds = 0;
                   if (!ReadInteger(v, 1, 7 * 24 * 3600, seconds)) {
                       return "bad idle timeout: " + std::string(v);
                   }
                   o.idleTimeout = std::chrono::seconds(seconds);
                   return {};
               },
               .get =
                   [](const Options& o) {
                       return std::to_string(
                           std::chrono::duration_cast<std::chrono::seconds>(o.idleTimeout).count());
                   }},
    OptionSpec{
        .name = "max-connections",
        .valueName = "N",
        .help = "serve at most N connections at once (0: no limit)",
        .reloadable = true,
        .set = [](Options& o,
                  std::string_view v) { return SetLimit(o.maxConnections, "max-connections", v); },
        .get = [](const Options& o) { return std::to_string(o.maxConnections); }},
    OptionSpec{
        .name = "max-per-address",
        .valueName = "N",
        .help = "at most N of them from one client address (0: no limit)",
        .reloadable = true,
        .set = [](Options& o,
                  std::string_view v) { return SetLimit(o.maxPerAddress, "max-per-address", v); },
        .get = [](const Options& o) { return std::to_string(o.maxPerAddress); }},
    OptionSpec{.name = "trusted-networks",
               .valueName = "CIDR,...",
               .help = "networks exempt from --max-per-address and from the growing\n"
                       "delay after failed logins (e.g. 10.0.0.0/8,127.0.0.1,::1)",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   std::string error;
                   if (!ReadNetworks(v, error)) {
                       return error;
                   }
                   o.trustedNetworks = std::string(v);
                   return {};
               },
               .get = GetText<&Options::trustedNetworks>},
    OptionSpec{.name = "proxy-from",
               .valueName = "CIDR,...",
               .help = "load balancers: connections from these networks begin with a\n"
                       "PROXY header (v1 or v2) naming the client they carry",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   std::string error;
                   if (!ReadNetworks(v, error)) {
                       return error;
                   }
                   o.proxyFrom = std::string(v);
                   return {};
               },
               .get = GetText<&Options::proxyFrom>},
    OptionSpec{.name = "passwords",
               .valueName = "FILE",
               .help = "check PASS against user:hash lines (crypt(3) hashes)\n"
                       "instead of taking the user name as the password",
               .reloadable = true,
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.passwords, v, "the passwords file must not be empty");
                   },
               .get = GetText<&Options::passwords>},
    OptionSpec{.name = "require-tls",
               .help = "refuse USER and PASS on connections not encrypted",
               .set = SetFlag<&Options::requireTls>,
               .get = GetFlag<&Options::requireTls>},
    OptionSpec{.name = "lock-maildrop",
               .help = "one logged-in session per maildrop: a second login gets\n"
                       "-ERR [IN-USE] (a lock on .drennik.lock in the user's folder)",
               .set = SetFlag<&Options::lockMaildrop>,
               .get = GetFlag<&Options::lockMaildrop>},
    OptionSpec{.name = "user",
               .valueName = "NAME",
               .help = "started as root: run as NAME once the port is bound\n"
                       "(default: the owner of the maildrop root)",
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.user, v, "the user name must not be empty");
                   },
               .get = GetText<&Options::user>},
    OptionSpec{.name = "tls-cert",
               .valueName = "FILE",
               .help = "offer TLS (STLS) with this PEM certificate chain...",
               .reloadable = true,
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.tlsCertificate, v, "--tls-cert needs a file name");
                   },
               .get = GetText<&Options::tlsCertificate>},
    OptionSpec{.name = "tls-key",
               .valueName = "FILE",
               .help = "...and this PEM private key",
               .reloadable = true,
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.tlsKey, v, "--tls-key needs a file name");
                   },
               .get = GetText<&Options::tlsKey>},
    OptionSpec{.name = "tls-self-signed",
               .help = "offer TLS with a certificate for localhost made at start;\n"
                       "its SHA-256 fingerprint is printed",
               .set = SetFlag<&Options::tlsSelfSigned>,
               .get = GetFlag<&Options::tlsSelfSigned>},
    OptionSpec{.name = "pop3s-port",
               .valueName = "N",
               .help = "also listen for TLS from the first byte on port N\n"
                       "(0 picks a free port; needs a certificate option)",
               .set = [](Options& o, std::string_view v) { return SetPort(o.pop3sPort, v); },
               .get =
                   [](const Options& o) {
                       return o.pop3sPort < 0 ? std::string() : std::to_string(o.pop3sPort);
                   }},
    OptionSpec{.name = "lmtp-port",
               .valueName = "N",
               .help = "take mail in by LMTP on port N (0 picks a free port)",
               .set = [](Options& o, std::string_view v) { return SetPort(o.lmtpPort, v); },
               .get =
                   [](const Options& o) {
                       return o.lmtpPort < 0 ? std::string() : std::to_string(o.lmtpPort);
                   }},
    OptionSpec{.name = "lmtp-socket",
               .valueName = "PATH",
               .help = "also take mail in by LMTP on a local socket at PATH",
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.lmtpSocket, v, "--lmtp-socket needs a path");
                   },
               .get = GetText<&Options::lmtpSocket>},
    OptionSpec{
        .name = "lmtp-socket-mode",
        .valueName = "MODE",
        .help = "the local socket's permissions, in octal",
        .set = [](Options& o, std::string_view v) -> std::string {
            unsigned mode = 0;
            const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), mode, 8);
            if (v.empty() || error != std::errc() || end != v.data() + v.size() || mode > 0777) {
                return "bad lmtp-socket-mode (octal, e.g. 0660): " + std::string(v);
            }
            o.lmtpSocketMode = mode;
            return {};
        },
        .get =
            [](const Options& o) {
                char text[8];
                std::snprintf(text, sizeof text, "%04o", o.lmtpSocketMode);
                return std::string(text);
            }},
    OptionSpec{.name = "lmtp-socket-group",
               .valueName = "GROUP",
               .help = "the local socket's group (e.g. postfix's)",
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.lmtpSocketGroup, v, "--lmtp-socket-group needs a name");
                   },
               .get = GetText<&Options::lmtpSocketGroup>},
    OptionSpec{.name = "smtp-port",
               .valueName = "N",
               .help = "take mail in by SMTP on port N (0 picks a free port);\n"
                       "for local users only, never relayed",
               .set = [](Options& o, std::string_view v) { return SetPort(o.smtpPort, v); },
               .get =
                   [](const Options& o) {
                       return o.smtpPort < 0 ? std::string() : std::to_string(o.smtpPort);
                   }},
    OptionSpec{.name = "domains",
               .valueName = "LIST",
               .help = "the recipient domains SMTP takes mail for, comma-separated\n"
                       "(not set: any; the local part names the maildrop)",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   if (v.find_first_of("\t<>@") != std::string_view::npos) {
                       return "bad domain list (names separated by commas): " + std::string(v);
                   }
                   o.domains = std::string(v);
                   return {};
               },
               .get = GetText<&Options::domains>},
    OptionSpec{.name = "catch-all",
               .valueName = "USER",
               .help = "delivered mail for a user without a folder goes to USER's",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   if (!IsPlainFolderName(v)) {
                       return "bad catch-all user: " + std::string(v);
                   }
                   o.catchAll = std::string(v);
                   return {};
               },
               .get = GetText<&Options::catchAll>},
    OptionSpec{.name = "create-maildrops",
               .help = "delivered mail for a user without a folder makes the folder",
               .reloadable = true,
               .set = SetFlag<&Options::createMaildrops>,
               .get = GetFlag<&Options::createMaildrops>},
    OptionSpec{.name = "max-message-size",
               .valueName = "N",
               .help = "the largest message taken by LMTP or SMTP, in bytes",
               .reloadable = true,
               .set = [](Options& o, std::string_view v) -> std::string {
                   long long size = 0;
                   if (!ReadInteger(v, 1, std::int64_t{1} << 50, size)) {
                       return "bad max-message-size: " + std::string(v);
                   }
                   o.maxMessageSize = size;
                   return {};
               },
               .get = [](const Options& o) { return std::to_string(o.maxMessageSize); }},
    OptionSpec{.name = "config",
               .valueName = "FILE",
               .help = "read options from FILE, one \"name = value\" a line;\n"
                       "the command line overrides it",
               .place = OptionPlace::CommandLineOnly,
               .set =
                   [](Options& o, std::string_view v) {
                       return SetName(o.config, v, "--config needs a file name");
                   },
               .get = GetText<&Options::config>},
    OptionSpec{.name = "check",
               .help = "check the options, files and maildrop root, print the\n"
                       "settings and exit (0: all good; 2: each problem is shown)",
               .place = OptionPlace::CommandLineOnly,
               .set = SetFlag<&Options::check>,
               .get = GetFlag<&Options::check>},
    OptionSpec{.name = "probe-responsiveness",
               .help = "benchmarks only: measure how long window events wait,\n"
                       "reported on standard error at exit",
               .place = OptionPlace::CommandLineOnly,
               .set = SetFlag<&Options::probeResponsiveness>,
               .get = GetFlag<&Options::probeResponsiveness>},
    OptionSpec{.name = "help",
               .shortName = 'h',
               .help = "show this text",
               .place = OptionPlace::CommandLineOnly,
               .set = SetFlag<&Options::help>,
               .get = GetFlag<&Options::help>},
    OptionSpec{.name = "version",
               .help = "show the version",
               .place = OptionPlace::CommandLineOnly,
               .set = SetFlag<&Options::version>,
               .get = GetFlag<&Options::version>},
};

}  // namespace

std::span<const OptionSpec> OptionTable() {
    return kTable;
}

const OptionSpec* FindOption(std::string_view name) {
    const auto found = std::find_if(kTable.begin(), kTable.end(),
                                    [&](const OptionSpec& row) { return row.name == name; });
    return found == kTable.end() ? nullptr : &*found;
}

std::optional<bool> ReadYesNo(std::string_view word) {
    std::string lower(word);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "yes" || lower == "true" || lower == "on") {
        return true;
    }
    if (lower == "no" || lower == "false" || lower == "off") {
        return false;
    }
    return std::nullopt;
}

std::string DefaultValue(const OptionSpec& row) {
    return row.get(Options{});
}
