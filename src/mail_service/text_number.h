#pragma once
// Reading a number out of a command argument the way the server always has: the decimal
// number at the start of the text, blanks (code 32) skipped anywhere in it, an optional sign
// and fraction, reading stopped at the first byte that cannot continue it. A text that does
// not start with a number gives 0 ("1 2" gives 12, "x" gives 0). Exact: no floating point.

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

struct DecimalNumber {
    enum class Fraction { None, BelowHalf, Half, AboveHalf };
    bool negative = false;
    std::uint64_t whole = 0;  // saturates at 2^63
    Fraction fraction = Fraction::None;
};

DecimalNumber ReadNumber(std::string_view text);
// The value less one, still exact.
DecimalNumber MinusOne(DecimalNumber value);
// The nearest integer, halves to the even neighbour, clamped to the 64-bit range.
std::int64_t RoundHalfEven(DecimalNumber value);

// Appends `value` in decimal, as every number in a reply is written.
inline void AppendDecimal(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// ReadNumber then RoundHalfEven: how a message number is read.
inline std::int64_t ReadMessageNumber(std::string_view text) {
    return RoundHalfEven(ReadNumber(text));
}
