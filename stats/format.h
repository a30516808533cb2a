#pragma once
// The display form of every number on screen: grouped numbers, zero-padded integers, durations.
#include <cstdint>
#include <string>

namespace stats {

struct Separators {
    std::string thousands = ",";
    std::string decimal = ".";
};

// The user's separators; "," and "." when the locale does not group (the C/POSIX locale).
const Separators& UserSeparators();

// value rounded to at most `digits` significant digits and at most `decimals` decimals, written with
// exactly `decimals` decimals and the integer part grouped by threes.
std::string FormatGrouped(long double value, int digits, int decimals, const Separators& sep);
std::string FormatGrouped(long double value, int digits, int decimals);

// A count: grouped, 14 digits, no decimals.
std::string FormatCount(int64_t value, const Separators& sep);
std::string FormatCount(int64_t value);

// Zero-filled to width (sign included); width "*" characters when the digits do not fit.
std::string PadNumber(int32_t value, int32_t width);
// [days " dey "]HH:MM:SS
std::string FormatSeconds(int32_t seconds);
// FormatSeconds(ms / 1000) + "." + three digits of ms.
std::string FormatMilliseconds(uint32_t milliseconds);
// The same layout for a 64-bit count: beyond 4,294,967,295 ms only the day count grows wider.
std::string FormatMilliseconds64(uint64_t milliseconds);

}  // namespace stats
