#pragma once
// SIGHUP: the trace file is reopened (log rotation has renamed it), and the settings a reload
// may change are read again from the command line and the configuration file it names, without
// closing a connection. Everything is loaded before anything is applied: a certificate, a
// passwords file or a line that cannot be used keeps every setting as it was, and the log says
// why. Options that need a restart are left as they are, and the log names them.

#include "app/options.h"

#include <string>
#include <string_view>
#include <vector>

class Authenticator;
class MailService;
class ServiceLog;
class TraceFile;
class modFalquor;

// The connection limits and the trusted networks of `options`, on the service and on the
// authenticator's failure penalty, and the delivery rules on the service: at start and at each
// reload. The networks were checked when the option was read.
void ApplyLimits(const Options& options, MailService& service, Authenticator& auth);
// "a.example, B.example" as the service takes it: lower case, without blanks or empty names.
std::vector<std::string> DomainList(std::string_view text);

// What a reload changes.
struct ReloadTargets {
    ServiceLog& log;
    modFalquor& falquor;
    MailService& service;
    Authenticator& auth;
    TraceFile* traceFile = nullptr;  // none without --trace-file
};

class Reloader {
public:
    // `arguments`: the command line the program was started with; `running`: the options it
    // runs with, and `fingerprint` its certificate's (empty without TLS).
    Reloader(std::vector<std::string> arguments, Options running, std::string fingerprint,
             ReloadTargets targets);

    void Reload();

private:
    // Loads what `fresh` names and, when all of it can be used, applies it; otherwise the
    // problems, with nothing applied.
    std::vector<std::string> LoadAndApply(const Options& fresh);

    std::vector<std::string> arguments_;
    Options running_;
    std::string fingerprint_;
    ReloadTargets targets_;
};

// The options a reload runs with: those a reload may change from `fresh`, the rest from
// `running`.
Options WithReloadable(const Options& running, const Options& fresh);
// The names of the configuration file's options, reloadable or not, whose values differ.
std::vector<std::string_view> ChangedOptions(const Options& a, const Options& b, bool reloadable);

// A write to the trace file failed (a warning in the log).
void LogTraceFileError(ServiceLog* log, const std::string& path, std::string_view operation,
                       const std::string& reason);
