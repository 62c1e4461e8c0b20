#include "app/options_file.h"

#include "app/options_table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

namespace {

// Larger than any hand-written configuration; stops a wrong path (a log, a device) early.
constexpr std::size_t kMostBytes = 1 << 20;

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Why the line cannot be used; empty when it is fine. `seen` holds the line each option was
// set on, as a repeat is most often a forgotten earlier setting.
std::string ReadLine(std::string_view line, int number, std::map<std::string_view, int>& seen,
                     Options& options) {
    if (std::any_of(line.begin(), line.end(), [](unsigned char c) {
            return (c < 0x20 && c != '\t' && c != '\r') || c == 0x7f;
        })) {
        return "a control character in the line";
    }
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') {
        return {};
    }
    const auto equals = line.find('=');
    const std::string_view name = Trimmed(line.substr(0, equals));
    if (equals == std::string_view::npos || name.empty()) {
        return "expected \"name = value\"";
    }
    const std::string_view value = Trimmed(line.substr(equals + 1));
    const OptionSpec* row = FindOption(name);
    if (row == nullptr) {
        return "unknown option: " + std::string(name) +
               (name.starts_with("--") ? " (names are written without the leading --)" : "");
    }
    if (row->place == OptionPlace::CommandLineOnly) {
        return std::string(name) + " is an option of the command line only";
    }
    if (const auto [earlier, first] = seen.try_emplace(row->name, number); !first) {
        return std::string(name) + " is set already on line " + std::to_string(earlier->second);
    }
    if (value.empty()) {
        return DefaultValue(*row).empty() ? std::string() : std::string(name) + " needs a value";
    }
    if (IsFlag(*row)) {
        const std::optional<bool> on = ReadYesNo(value);
        if (!on) {
            return std::string(name) + " takes yes or no, not " + std::string(value);
        }
        return row->set(options, *on ? "yes" : "no");
    }
    return row->set(options, value);
}

}  // namespace

std::vector<std::string> ReadConfiguration(std::string_view text, const std::string& label,
                                           Options& options) {
    std::vector<std::string> problems;
    std::map<std::string_view, int> seen;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (std::string reason = ReadLine(line, number, seen, options); !reason.empty()) {
            problems.push_back(label + " line " + std::to_string(number) + ": " + reason);
        }
    }
    return problems;
}

std::vector<std::string> ReadConfigurationFile(const std::string& path, Options& options) {
    const std::string what = "the configuration file " + path;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) {
        return {"cannot read " + what + ": " + error.message()};
    }
    if (!std::filesystem::is_regular_file(status)) {
        return {what + " is not a regular file"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {"cannot read " + what + ": " + std::strerror(errno)};
    }
    std::string text(kMostBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) {
        return {"cannot read " + what};
    }
    if (text.size() > kMostBytes) {
        return {what + " is larger than 1 MiB"};
    }
    return ReadConfiguration(text, path, options);
}
