#include "mail_service/text_number.h"

#include <gtest/gtest.h>

#include <limits>

TEST(TextNumber, ReadsTheDecimalNumberAtTheStart) {
    EXPECT_EQ(ReadMessageNumber("12"), 12);
    EXPECT_EQ(ReadMessageNumber("1 2"), 12) << "blanks are skipped anywhere";
    EXPECT_EQ(ReadMessageNumber("  7  "), 7);
    EXPECT_EQ(ReadMessageNumber("3abc"), 3);
    EXPECT_EQ(ReadMessageNumber("EVE 1"), 0) << "a text that does not start with a number";
    EXPECT_EQ(ReadMessageNumber(""), 0);
    EXPECT_EQ(ReadMessageNumber("-4"), -4);
    EXPECT_EQ(ReadMessageNumber("+ 4"), 4);
    EXPECT_EQ(ReadMessageNumber("--4"), 0);
    EXPECT_EQ(ReadMessageNumber("1e3"), 1) << "no exponent";
    EXPECT_EQ(ReadMessageNumber("0x10"), 0) << "no radix prefix";
    EXPECT_EQ(ReadMessageNumber("&H10"), 0);
    EXPECT_EQ(ReadMessageNumber("1\t2"), 1) << "only code 32 is a blank";
    EXPECT_EQ(ReadMessageNumber("1.2.3"), 1);
}

TEST(TextNumber, RoundsHalvesToTheEvenNeighbourExactly) {
    EXPECT_EQ(ReadMessageNumber("2.5"), 2);
    EXPECT_EQ(ReadMessageNumber("3.5"), 4);
    EXPECT_EQ(ReadMessageNumber("2.5000000000000000000001"), 3) << "beyond double precision";
    EXPECT_EQ(ReadMessageNumber("2.4999999999999999999999"), 2);
    EXPECT_EQ(ReadMessageNumber("-2.5"), -2);
    EXPECT_EQ(ReadMessageNumber("-3.5"), -4);
    EXPECT_EQ(ReadMessageNumber(".5"), 0);
    EXPECT_EQ(ReadMessageNumber("0.51"), 1);
    EXPECT_EQ(ReadMessageNumber("1 . 5"), 2);
}

TEST(TextNumber, HugeValuesSaturateOutOfEveryRange) {
    EXPECT_GT(ReadMessageNumber("99999999999999999999999999999999"), 1'000'000'000'000LL);
    EXPECT_LT(ReadMessageNumber("-99999999999999999999999999999999"), -1'000'000'000'000LL);
    EXPECT_EQ(ReadMessageNumber("4294967297"), 4294967297LL) << "no 16- or 32-bit wrap";
    // The 64-bit limits, exactly, and nothing wraps past them.
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(ReadMessageNumber("9223372036854775807"), kMax);
    EXPECT_EQ(ReadMessageNumber("9223372036854775808"), kMax);
    EXPECT_EQ(ReadMessageNumber("9999999999999999999"), kMax);
    EXPECT_EQ(ReadMessageNumber("9223372036854775807.5"), kMax);
    EXPECT_EQ(ReadMessageNumber("-9223372036854775808"), kMin);
    EXPECT_EQ(ReadMessageNumber("-9223372036854775809"), kMin);
    EXPECT_EQ(RoundHalfEven(MinusOne(ReadNumber("-9223372036854775808"))), kMin);
    EXPECT_EQ(RoundHalfEven(MinusOne(ReadNumber("9223372036854775808"))), kMax);
}

TEST(TextNumber, SubtractingOneComesBeforeRounding) {
    auto entry = [](const char* text) { return RoundHalfEven(MinusOne(ReadNumber(text))); };
    EXPECT_EQ(entry("1"), 0);
    EXPECT_EQ(entry("2"), 1);
    EXPECT_EQ(entry("0"), -1);
    EXPECT_EQ(entry("1.5"), 0) << "0.5 rounds to 0, where rounding first would give 1";
    EXPECT_EQ(entry("2.5"), 2) << "1.5 rounds to 2";
    EXPECT_EQ(entry("0.5"), 0) << "-0.5 rounds to 0";
    EXPECT_EQ(entry("0.3"), -1);
    EXPECT_EQ(entry("0.7"), 0);
    EXPECT_EQ(entry("-1.5"), -2) << "-2.5 rounds to -2";
    EXPECT_EQ(entry("x"), -1);
}
