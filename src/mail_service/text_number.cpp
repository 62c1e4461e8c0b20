#include "mail_service/text_number.h"

#include <limits>

namespace {

// Magnitudes stop growing at 2^63: every value then still has a 64-bit signed result (the
// negative one exactly, the positive one clamped), and no step can overflow.
constexpr std::uint64_t kSaturation = std::uint64_t{1} << 63;

std::uint64_t AddSaturating(std::uint64_t value, std::uint64_t digit) {
    return value > (kSaturation - digit) / 10 ? kSaturation : value * 10 + digit;
}

DecimalNumber::Fraction Complement(DecimalNumber::Fraction f) {
    using F = DecimalNumber::Fraction;
    switch (f) {
        case F::BelowHalf:
            return F::AboveHalf;
        case F::AboveHalf:
            return F::BelowHalf;
        default:
            return f;
    }
}

}  // namespace

DecimalNumber ReadNumber(std::string_view text) {
    using F = DecimalNumber::Fraction;
    DecimalNumber number;
    bool signSeen = false;
    bool digitsSeen = false;
    bool inFraction = false;
    bool firstFractionDigit = true;
    bool laterNonZero = false;
    int firstDigit = 0;
    for (const char c : text) {
        if (c == ' ') {
            continue;
        }
        if ((c == '+' || c == '-') && !signSeen && !digitsSeen && !inFraction) {
            signSeen = true;
            number.negative = c == '-';
            continue;
        }
        if (c == '.' && !inFraction) {
            inFraction = true;
            continue;
        }
        if (c < '0' || c > '9') {
            break;
        }
        const int digit = c - '0';
        digitsSeen = true;
        if (!inFraction) {
            number.whole = AddSaturating(number.whole, static_cast<std::uint64_t>(digit));
        } else if (firstFractionDigit) {
            firstDigit = digit;
            firstFractionDigit = false;
        } else if (digit != 0) {
            laterNonZero = true;
        }
    }
    if (!firstFractionDigit) {
        if (firstDigit > 5 || (firstDigit == 5 && laterNonZero)) {
            number.fraction = F::AboveHalf;
        } else if (firstDigit == 5) {
            number.fraction = F::Half;
        } else if (firstDigit > 0 || laterNonZero) {
            number.fraction = F::BelowHalf;
        }
    }
    if (number.whole == 0 && number.fraction == F::None) {
        number.negative = false;
    }
    return number;
}

DecimalNumber MinusOne(DecimalNumber value) {
    if (value.negative) {
        value.whole = value.whole >= kSaturation ? kSaturation : value.whole + 1;
        return value;
    }
    if (value.whole >= 1) {
        --value.whole;
        return value;
    }
    // 0 <= value < 1: the result is -(1 - fraction).
    value.negative = true;
    if (value.fraction == DecimalNumber::Fraction::None) {
        value.whole = 1;
    } else {
        value.fraction = Complement(value.fraction);
    }
    return value;
}

std::int64_t RoundHalfEven(DecimalNumber value) {
    using F = DecimalNumber::Fraction;
    std::uint64_t magnitude = value.whole;
    if (value.fraction == F::AboveHalf || (value.fraction == F::Half && (magnitude & 1) != 0)) {
        ++magnitude;
    }
    if (magnitude >= kSaturation) {
        return value.negative ? std::numeric_limits<std::int64_t>::min()
                              : std::numeric_limits<std::int64_t>::max();
    }
    const auto signedMagnitude = static_cast<std::int64_t>(magnitude);
    return value.negative ? -signedMagnitude : signedMagnitude;
}
