#pragma once
// Blanks (code 32 only) at the edges of a text do not count: not in a trace entry, not in a
// request line.

#include <string_view>

inline std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}
