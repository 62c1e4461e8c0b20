#include "app/options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

namespace {

bool ReadInteger(std::string_view text, long long low, long long high, long long& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value >= low &&
           value <= high;
}

}  // namespace

const char* Usage() {
    return "usage: drennik [--port N] [--root DIR] [--idle-timeout SECONDS] [--max-connections N]\n"
           "               [--max-per-address N] [--passwords FILE] [--require-tls] [--user NAME]\n"
           "               [--tls-cert FILE --tls-key FILE | --tls-self-signed] [--pop3s-port N]\n"
           "               [--listen ADDR] [--help] [--version]\n"
           "  --port N                 TCP port to listen on (default 110; 0 picks a free port)\n"
           "  --listen ADDR            listen on this IPv4 address only (default: every address)\n"
           "  --root DIR               maildrop root, one folder per user (default \"/Post "
           "Office/\")\n"
           "  --idle-timeout SECONDS   close connections idle, or whose output stalls, this long\n"
           "                           (default 600)\n"
           "  --max-connections N      serve at most N connections at once (default 10000;\n"
           "                           0: no limit)\n"
           "  --max-per-address N      at most N of them from one client address (default 100;\n"
           "                           0: no limit)\n"
           "  --passwords FILE         check PASS against user:hash lines (crypt(3) hashes)\n"
           "                           instead of taking the user name as the password\n"
           "  --require-tls            refuse USER and PASS on connections not encrypted\n"
           "  --user NAME              started as root: run as NAME once the port is bound\n"
           "                           (default: the owner of the maildrop root)\n"
           "  --tls-cert FILE          offer TLS (STLS) with this PEM certificate chain...\n"
           "  --tls-key FILE           ...and this PEM private key\n"
           "  --tls-self-signed        offer TLS with a certificate for localhost made at start;\n"
           "                           its SHA-256 fingerprint is printed\n"
           "  --pop3s-port N           also listen for TLS from the first byte on port N\n"
           "                           (0 picks a free port; needs a certificate option)\n"
           "  --probe-responsiveness   benchmarks only: measure how long window events wait,\n"
           "                           reported on standard error at exit\n"
           "  --help                   show this text\n"
           "  --version                show the version\n";
}

bool TlsWanted(const Options& options) {
    return options.tlsSelfSigned || !options.tlsCertificate.empty();
}

std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string& error) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue) {
                return true;
            }
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        long long number = 0;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--probe-responsiveness") {
            options.probeResponsiveness = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--port" || arg == "--pop3s-port") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (!ReadInteger(value, 0, 65535, number)) {
                error = "bad port: " + std::string(value);
                return std::nullopt;
            }
            (arg == "--port" ? options.port : options.pop3sPort) = static_cast<int>(number);
        } else if (arg == "--tls-self-signed") {
            options.tlsSelfSigned = true;
        } else if (arg == "--tls-cert" || arg == "--tls-key") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (value.empty()) {
                error = std::string(arg) + " needs a file name";
                return std::nullopt;
            }
            (arg == "--tls-cert" ? options.tlsCertificate : options.tlsKey) = std::string(value);
        } else if (arg == "--root") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (value.empty()) {
                error = "the maildrop root must not be empty";
                return std::nullopt;
            }
            options.root = std::string(value);
        } else if (arg == "--idle-timeout") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (!ReadInteger(value, 1, 7 * 24 * 3600, number)) {
                error = "bad idle timeout: " + std::string(value);
                return std::nullopt;
            }
            options.idleTimeout = std::chrono::seconds(number);
        } else if (arg == "--max-connections" || arg == "--max-per-address") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (!ReadInteger(value, 0, 100'000'000, number)) {
                error = "bad " + std::string(arg.substr(2)) + ": " + std::string(value);
                return std::nullopt;
            }
            (arg == "--max-connections" ? options.maxConnections : options.maxPerAddress) =
                static_cast<std::size_t>(number);
        } else if (arg == "--listen") {
            if (!takeValue()) {
                return std::nullopt;
            }
            in_addr parsed{};
            if (::inet_pton(AF_INET, std::string(value).c_str(), &parsed) != 1) {
                error = "bad listen address (an IPv4 address is needed): " + std::string(value);
                return std::nullopt;
            }
            options.listenAddress = parsed.s_addr;
        } else if (arg == "--require-tls") {
            options.requireTls = true;
        } else if (arg == "--passwords") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (value.empty()) {
                error = "the passwords file must not be empty";
                return std::nullopt;
            }
            options.passwords = std::string(value);
        } else if (arg == "--user") {
            if (!takeValue()) {
                return std::nullopt;
            }
            if (value.empty()) {
                error = "the user name must not be empty";
                return std::nullopt;
            }
            options.user = std::string(value);
        } else {
            error = "unknown option: " + std::string(arg);
            return std::nullopt;
        }
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return std::nullopt;
    }
    if (options.tlsSelfSigned && !options.tlsCertificate.empty()) {
        error = "--tls-self-signed and --tls-cert/--tls-key exclude each other";
        return std::nullopt;
    }
    if (options.pop3sPort >= 0 && !TlsWanted(options)) {
        error = "--pop3s-port needs --tls-cert and --tls-key, or --tls-self-signed";
        return std::nullopt;
    }
    if (options.requireTls && !TlsWanted(options)) {
        error = "--require-tls needs --tls-cert and --tls-key, or --tls-self-signed";
        return std::nullopt;
    }
    return options;
}
