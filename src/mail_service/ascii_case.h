#pragma once
// Case folding of protocol words (commands, mechanisms, domains): ASCII letters only, whatever
// the locale, so 8-bit bytes in what a client sends are never changed.

#include <string>
#include <string_view>

inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        c = AsciiUpper(c);
    }
    return upper;
}

inline std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = AsciiLower(c);
    }
    return lower;
}
