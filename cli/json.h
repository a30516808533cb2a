#pragma once
// JSON text for the command line's results: strings escaped, numbers that keep their digits.
#include <string>

namespace cli {

// A JSON string of s: escaped, and always valid UTF-8 (each byte of s that is not part of a character becomes
// U+FFFD).
std::string JsonString(const std::string& s);
// The shortest text that reads back as the same double ("1321354", "0.1"); null when not finite.
std::string JsonNumber(double value);

}  // namespace cli
