#include "cli/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace cli {

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (RFC 3629: no overlong forms, no surrogates, at most
// U+10FFFF); 0 when there is none.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    const unsigned c = at(i);
    const auto tail = [&](size_t k) { return (at(k) & 0xC0u) == 0x80u; };
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return tail(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned d = at(i + 1);
        if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F)) return 0;
        return tail(i + 1) && tail(i + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned d = at(i + 1);
        if ((c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F)) return 0;
        return tail(i + 1) && tail(i + 2) && tail(i + 3) ? 4 : 0;
    }
    return 0;
}

}  // namespace

std::string JsonString(const std::string& s) {
    // JSON text is UTF-8: a path whose bytes are not (a Linux file name may hold any) gets U+FFFD for each
    // byte that is not part of a character, so every reader, merge among them, can read the document.
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = Utf8Length(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out + "\"";
}

std::string JsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

}  // namespace cli
