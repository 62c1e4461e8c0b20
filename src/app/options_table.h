#pragma once
// The one table of options. Each row says how the option is spelled, what its value is, what
// --help says of it and whether the configuration file may set it; the command line, the
// configuration file, --help and --check's printout are all read from it. Defaults live in
// Options itself: a row shows them through its getter.

#include "app/options.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

enum class OptionPlace {
    Anywhere,         // the command line and the configuration file
    CommandLineOnly,  // what the program does (--help, --check), not how the server runs
};

struct OptionSpec {
    std::string_view name{};       // the long name, without "--"; the file's name too
    char shortName = '\0';         // '\0': none
    std::string_view valueName{};  // as --help shows the value; empty: a flag, yes or no
    std::string_view help{};       // lines joined by '\n', without the default
    OptionPlace place = OptionPlace::Anywhere;
    // A SIGHUP reload may change it: the certificate and key, the passwords file, the limits,
    // the idle timeout and the log level. The others need a restart (ports, addresses, the
    // user, the root, the trace file's name; the trace file itself is reopened).
    bool reloadable = false;
    // Given more than once on the command line, the values are joined with commas: the
    // option takes a list, and the command line's list replaces the file's.
    bool repeatable = false;
    // Sets the option from its value (a flag's is "yes" or "no"): empty, or why the value is
    // refused, as one sentence.
    std::string (*set)(Options& options, std::string_view value) = nullptr;
    // The value as the configuration file writes it; empty when the option is not set.
    std::string (*get)(const Options& options) = nullptr;
};

std::span<const OptionSpec> OptionTable();
const OptionSpec* FindOption(std::string_view name);
inline bool IsFlag(const OptionSpec& row) {
    return row.valueName.empty();
}
// yes/no, true/false, on/off, in any case; nullopt for anything else.
std::optional<bool> ReadYesNo(std::string_view word);
// What the option is when nothing sets it: its getter on default Options.
std::string DefaultValue(const OptionSpec& row);
