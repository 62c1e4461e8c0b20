#include "app/reload.h"

#include "app/options_table.h"
#include "mail_service/authenticator.h"
#include "mail_service/mail_service.h"
#include "mail_service/service_log.h"
#include "platform/privileges.h"
#include "socket_layer/mod_falquor.h"
#include "socket_layer/tls_context.h"
#include "socket_layer/trace_file.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

namespace {

std::string Joined(const std::vector<std::string_view>& names) {
    std::string text;
    for (const std::string_view name : names) {
        text += (text.empty() ? "" : ",") + std::string(name);
    }
    return text.empty() ? "none" : text;
}

}  // namespace

std::vector<std::string> DomainList(std::string_view text) {
    std::vector<std::string> domains;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        std::string name;
        for (const char c : text.substr(0, comma)) {
            if (c != ' ') {
                name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        if (!name.empty()) {
            domains.push_back(std::move(name));
        }
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return domains;
}

void ApplyLimits(const Options& options, MailService& service, Authenticator& auth) {
    std::string error;
    std::vector<IpNetwork> trusted =
        ReadNetworks(options.trustedNetworks, error).value_or(std::vector<IpNetwork>());
    auth.SetTrustedNetworks(trusted);
    std::vector<IpNetwork> proxyFrom =
        ReadNetworks(options.proxyFrom, error).value_or(std::vector<IpNetwork>());
    service.SetLimits(ConnectionLimits{options.maxConnections, options.maxPerAddress,
                                       std::move(trusted), std::move(proxyFrom)});
    service.SetDeliveryRules(
        DeliveryRules{options.createMaildrops, options.catchAll, options.maxMessageSize});
    service.SetDeliveryDomains(DomainList(options.domains));
}

Options WithReloadable(const Options& running, const Options& fresh) {
    Options next = running;
    next.logLevel = fresh.logLevel;
    next.idleTimeout = fresh.idleTimeout;
    next.maxConnections = fresh.maxConnections;
    next.maxPerAddress = fresh.maxPerAddress;
    next.trustedNetworks = fresh.trustedNetworks;
    next.proxyFrom = fresh.proxyFrom;
    next.passwords = fresh.passwords;
    next.tlsCertificate = fresh.tlsCertificate;
    next.tlsKey = fresh.tlsKey;
    next.domains = fresh.domains;
    next.catchAll = fresh.catchAll;
    next.createMaildrops = fresh.createMaildrops;
    next.maxMessageSize = fresh.maxMessageSize;
    return next;
}

std::vector<std::string_view> ChangedOptions(const Options& a, const Options& b, bool reloadable) {
    std::vector<std::string_view> names;
    for (const OptionSpec& row : OptionTable()) {
        if (row.place == OptionPlace::Anywhere && row.reloadable == reloadable &&
            row.get(a) != row.get(b)) {
            names.push_back(row.name);
        }
    }
    return names;
}

void LogTraceFileError(ServiceLog* log, const std::string& path, std::string_view operation,
                       const std::string& reason) {
    if (log != nullptr && log->Wants(LogLevel::Warning)) {
        log->Write(LogLevel::Warning, LogLine("trace-file-error")
                                          .Add("file", path)
                                          .Add("op", operation)
                                          .Add("error", reason));
    }
}

Reloader::Reloader(std::vector<std::string> arguments, Options running, std::string fingerprint,
                   ReloadTargets targets)
    : arguments_(std::move(arguments)),
      running_(std::move(running)),
      fingerprint_(std::move(fingerprint)),
      targets_(targets) {}

void Reloader::Reload() {
    if (TraceFile* file = targets_.traceFile; file != nullptr) {
        if (const std::string error = file->Open(); !error.empty()) {
            LogTraceFileError(&targets_.log, file->path(), "open", error);
        }
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments_) {
        argv.push_back(argument.c_str());
    }
    const ParsedOptions parsed = ParseOptions(static_cast<int>(argv.size()), argv.data());
    std::vector<std::string> problems = parsed.problems;
    if (problems.empty()) {
        problems = LoadAndApply(parsed.options);
    }
    for (const std::string& problem : problems) {
        targets_.log.Write(LogLevel::Error, LogLine("reload-failed").Add("reason", problem));
    }
    if (problems.empty()) {
        if (const auto restart = ChangedOptions(running_, parsed.options, false);
            !restart.empty()) {
            targets_.log.Write(LogLevel::Warning,
                               LogLine("restart-needed").Add("options", Joined(restart)));
        }
    }
}

std::vector<std::string> Reloader::LoadAndApply(const Options& fresh) {
    const Options next = WithReloadable(running_, fresh);
    std::vector<std::string> problems;
    if (std::string conflict = Conflict(next); !conflict.empty()) {
        problems.push_back(std::move(conflict));
    }
    std::string error;
    std::optional<Authenticator::PasswordTable> hashes;
    if (!next.passwords.empty()) {
        hashes = Authenticator::ReadPasswordFile(next.passwords, error);
        if (!hashes) {
            problems.push_back(error);
        }
    }
    // A self-signed certificate is made once, at start; certificate files are read again even
    // under the same names, as a renewed certificate is most often put in the old one's place.
    const bool fromFiles = !next.tlsSelfSigned;
    std::unique_ptr<TlsContext> tls;
    if (fromFiles && !next.tlsCertificate.empty()) {
        tls = TlsContext::FromFiles(next.tlsCertificate, next.tlsKey, error);
        if (!tls) {
            problems.push_back(error);
        }
    }
    if (!problems.empty()) {
        return problems;  // nothing applied
    }

    ServiceLog& log = targets_.log;
    log.SetLevel(ParseLogLevel(next.logLevel).value_or(LogLevel::Info));
    targets_.falquor.SetIdleTimeout(next.idleTimeout);
    ApplyLimits(next, targets_.service, targets_.auth);
    std::vector<std::string> warnings;
    if (hashes) {
        if (std::string warning = targets_.auth.SetPasswords(std::move(*hashes));
            !warning.empty()) {
            warnings.push_back(std::move(warning));
        }
    } else {
        targets_.auth.ClearPasswords();
    }
    targets_.service.SetAuthenticator(&targets_.auth);  // the trace masks PASS, or not
    if (fromFiles) {
        // Connections encrypted already keep the context they began with.
        fingerprint_ = tls ? tls->Fingerprint() : std::string();
        targets_.falquor.SetTls(std::move(tls));
    }
    for (const std::string& secret : {next.passwords, next.tlsKey}) {
        if (secret.empty()) {
            continue;
        }
        if (std::string warning = platform::SecretFileWarning(secret, ::geteuid(), ::getegid());
            !warning.empty()) {
            warnings.push_back(std::move(warning));
        }
    }
    for (const std::string& warning : warnings) {
        log.Write(LogLevel::Warning, LogLine("reload-warning").Add("reason", warning));
    }
    LogLine done("reload");
    done.Add("changed", Joined(ChangedOptions(running_, next, true)));
    done.AddYesNo("tls", targets_.falquor.TlsConfigured());
    if (!fingerprint_.empty()) {
        done.Add("fingerprint", fingerprint_);
    }
    log.Write(LogLevel::Info, done);
    running_ = next;
    return {};
}
