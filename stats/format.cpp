#include "stats/format.h"

#include <cmath>
#include <cstdio>

#include "platform/locale.h"

namespace stats {

const Separators& UserSeparators() {
    static const Separators sep = [] {
        const platform::NumberSeparators user = platform::UserNumberSeparators();
        if (user.thousands.empty()) return Separators{};
        return Separators{user.thousands, user.decimal.empty() ? std::string(".") : user.decimal};
    }();
    return sep;
}

std::string FormatGrouped(long double value, int digits, int decimals, const Separators& sep) {
    if (!std::isfinite(value)) return std::isnan(value) ? "NAN" : (value < 0 ? "-INF" : "INF");
    const bool negative = value < 0;
    const long double magnitude = std::fabs(value);
    // Decimals that survive the significant-digit limit; negative means rounding to tens, hundreds...
    const int intDigits = magnitude >= 1 ? static_cast<int>(std::floor(std::log10(magnitude))) + 1 : 0;
    int kept = digits - intDigits;
    if (kept > decimals) kept = decimals;
    // Half away from zero, on the scaled value, so no binary fraction is rounded twice.
    const long double scaled = std::round(magnitude * std::pow(10.0L, static_cast<long double>(kept)));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0Lf", scaled);
    std::string num = buf;
    std::string intPart, fracPart;
    if (kept >= 0) {
        if (num.size() <= static_cast<size_t>(kept))
            num.insert(0, static_cast<size_t>(kept) - num.size() + 1, '0');
        intPart = num.substr(0, num.size() - static_cast<size_t>(kept));
        fracPart = num.substr(num.size() - static_cast<size_t>(kept));
    } else {
        intPart = num == "0" ? num : num + std::string(static_cast<size_t>(-kept), '0');
    }
    fracPart.append(static_cast<size_t>(decimals) - fracPart.size(), '0');

    std::string out;
    const bool allZero = intPart.find_first_not_of('0') == std::string::npos &&
                         fracPart.find_first_not_of('0') == std::string::npos;
    if (negative && !allZero) out = "-";
    for (size_t i = 0; i < intPart.size(); ++i) {
        if (i > 0 && (intPart.size() - i) % 3 == 0) out += sep.thousands;
        out += intPart[i];
    }
    if (decimals > 0) out += sep.decimal + fracPart;
    return out;
}

std::string FormatGrouped(long double value, int digits, int decimals) {
    return FormatGrouped(value, digits, decimals, UserSeparators());
}

std::string FormatCount(int64_t value, const Separators& sep) {
    return FormatGrouped(static_cast<long double>(value), 14, 0, sep);
}

std::string FormatCount(int64_t value) {
    return FormatCount(value, UserSeparators());
}

std::string PadNumber(int32_t value, int32_t width) {
    const std::string sign = value < 0 ? "-" : "";
    const std::string digits =
        std::to_string(value < 0 ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
    const int64_t room = static_cast<int64_t>(width) - static_cast<int64_t>(sign.size());
    if (room < static_cast<int64_t>(digits.size()))
        return width > 0 ? std::string(static_cast<size_t>(width), '*') : "";
    return sign + std::string(static_cast<size_t>(room) - digits.size(), '0') + digits;
}

namespace {

std::string FormatSecondsWide(int64_t seconds) {
    const int64_t days = seconds / 86'400;
    const int32_t hours = static_cast<int32_t>((seconds / 3600) % 24);
    const int32_t minutes = static_cast<int32_t>((seconds / 60) % 60);
    const int32_t secs = static_cast<int32_t>(seconds % 60);
    std::string out = days > 0 ? std::to_string(days) + " dey " : "";
    return out + PadNumber(hours, 2) + ":" + PadNumber(minutes, 2) + ":" + PadNumber(secs, 2);
}

}  // namespace

std::string FormatSeconds(int32_t seconds) {
    return FormatSecondsWide(seconds);
}

std::string FormatMilliseconds(uint32_t milliseconds) {
    return FormatMilliseconds64(milliseconds);
}

std::string FormatMilliseconds64(uint64_t milliseconds) {
    return FormatSecondsWide(static_cast<int64_t>(milliseconds / 1000)) + "." +
           PadNumber(static_cast<int32_t>(milliseconds % 1000), 3);
}

}  // namespace stats
