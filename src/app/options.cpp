#include "app/options.h"

#include "app/options_file.h"
#include "app/options_table.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::size_t kHelpColumn = 27;
constexpr std::size_t kHelpWidth = 79;

struct Given {
    const OptionSpec* row;
    std::string value;
};

const OptionSpec* FindShortOption(char name) {
    for (const OptionSpec& row : OptionTable()) {
        if (name != '\0' && row.shortName == name) {
            return &row;
        }
    }
    return nullptr;
}

// The options as the command line gives them, in its order; the syntax problems are added to
// `parsed`.
std::vector<Given> ReadCommandLine(int argc, const char* const* argv, ParsedOptions& parsed) {
    std::vector<Given> given;
    auto refuse = [&](std::string problem) {
        parsed.problems.push_back(std::move(problem));
        parsed.badCommandLine = true;
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        const OptionSpec* row = nullptr;
        if (arg.starts_with("--")) {
            if (const auto eq = arg.find('='); eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasValue = true;
            }
            row = FindOption(arg.substr(2));
        } else if (arg.size() == 2 && arg[0] == '-') {
            row = FindShortOption(arg[1]);
        }
        if (row == nullptr) {
            refuse("unknown option: " + std::string(arg));
            continue;
        }
        if (IsFlag(*row)) {
            const std::optional<bool> on = hasValue ? ReadYesNo(value) : true;
            if (!on) {
                refuse(std::string(arg) + " takes yes or no, not " + std::string(value));
                continue;
            }
            given.push_back({row, *on ? "yes" : "no"});
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                refuse(std::string(arg) + " needs a value");
                continue;
            }
            value = argv[++i];
        }
        if (row->repeatable) {
            const auto earlier = std::find_if(given.begin(), given.end(),
                                              [row](const Given& g) { return g.row == row; });
            if (earlier != given.end()) {
                earlier->value += ',' + std::string(value);
                continue;
            }
        }
        given.push_back({row, std::string(value)});
    }
    return given;
}

}  // namespace

std::string Conflict(const Options& options) {
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        return "--tls-cert and --tls-key go together";
    }
    if (options.tlsSelfSigned && !options.tlsCertificate.empty()) {
        return "--tls-self-signed and --tls-cert/--tls-key exclude each other";
    }
    if (options.pop3sPort >= 0 && !TlsWanted(options)) {
        return "--pop3s-port needs --tls-cert and --tls-key, or --tls-self-signed";
    }
    if (options.requireTls && !TlsWanted(options)) {
        return "--require-tls needs --tls-cert and --tls-key, or --tls-self-signed";
    }
    return {};
}

ParsedOptions ParseOptions(int argc, const char* const* argv) {
    ParsedOptions parsed;
    const std::vector<Given> given = ReadCommandLine(argc, argv, parsed);
    Options& options = parsed.options;
    std::string config;
    bool justShowing = false;  // --help and --version need no configuration file
    for (const Given& option : given) {
        if (option.row->name == "config") {
            config = option.value;
        }
        justShowing |=
            (option.row->name == "help" || option.row->name == "version") && option.value == "yes";
    }
    if (!config.empty() && !justShowing) {
        for (std::string& problem : ReadConfigurationFile(config, options)) {
            parsed.problems.push_back(std::move(problem));
        }
    }
    for (const Given& option : given) {
        if (std::string problem = option.row->set(options, option.value); !problem.empty()) {
            parsed.problems.push_back(std::move(problem));
            parsed.badCommandLine = true;
        }
    }
    if (parsed.problems.empty()) {
        if (std::string problem = Conflict(options); !problem.empty()) {
            parsed.problems.push_back(std::move(problem));
            parsed.badCommandLine = true;
        }
    }
    return parsed;
}

bool TlsWanted(const Options& options) {
    return options.tlsSelfSigned || !options.tlsCertificate.empty();
}

std::string Usage() {
    std::string text =
        "usage: drennik [--config FILE] [OPTION]...\n"
        "       drennik --check [--config FILE] [OPTION]...\n"
        "       drennik deliver [--root DIR] [--create-maildrops] [--catch-all USER]\n"
        "                       [--max-message-size N] USER... < MESSAGE\n"
        "Each option taking a value also takes the form --name=value; a flag takes --name=no.\n"
        "The configuration file sets them as \"name = value\" lines.\n";
    for (const OptionSpec& row : OptionTable()) {
        std::string left = "  ";
        if (row.shortName != '\0') {
            left += '-' + std::string(1, row.shortName) + ", ";
        }
        left += "--" + std::string(row.name);
        if (!IsFlag(row)) {
            left += ' ' + std::string(row.valueName);
        }
        left.resize(std::max(left.size() + 1, kHelpColumn), ' ');
        std::string help(row.help);
        if (const std::string byDefault = DefaultValue(row); !IsFlag(row) && !byDefault.empty()) {
            const bool blanks = byDefault.find(' ') != std::string::npos;
            const std::string shown = blanks ? '"' + byDefault + '"' : byDefault;
            const std::size_t lineStart = help.rfind('\n');
            const std::size_t lastLine =
                lineStart == std::string::npos ? help.size() : help.size() - lineStart - 1;
            help += (kHelpColumn + lastLine + shown.size() + 11 > kHelpWidth ? "\n" : " ") +
                    std::string("(default ") + shown + ")";
        }
        const std::string indent(kHelpColumn, ' ');
        for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += 1) {
            help.insert(at + 1, indent);
        }
        text += left + help + '\n';
    }
    return text;
}

std::string DescribeOptions(const Options& options) {
    std::string text;
    for (const OptionSpec& row : OptionTable()) {
        if (row.place != OptionPlace::Anywhere) {
            continue;
        }
        const std::string value = row.get(options);
        text += std::string(row.name) + " =" + (value.empty() ? "" : " " + value) + '\n';
    }
    return text;
}
