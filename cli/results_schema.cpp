#include "cli/results_schema.h"

#include <algorithm>

namespace cli::schema {

namespace {

using nlohmann::ordered_json;

std::string Scalar(const ordered_json& v) {
    return v.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

bool Flat(const ordered_json& v) {
    if (v.is_array())
        return std::all_of(v.begin(), v.end(), [](const ordered_json& e) { return e.is_primitive(); });
    if (v.is_object())
        return std::all_of(v.begin(), v.end(), [](const ordered_json& e) {
            return e.is_primitive() || (e.is_array() && e.empty());
        });
    return true;
}

// On one line, with a space after each separator.
void Inline(std::string& out, const ordered_json& v) {
    if (v.is_primitive()) {
        out += Scalar(v);
        return;
    }
    const bool object = v.is_object();
    out += object ? '{' : '[';
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        if (object) out += Scalar(it.key()) + ": ";
        Inline(out, *it);
    }
    out += object ? '}' : ']';
}

// Arrays of numbers, of flat pairs and of flat objects stay on one line each; everything else is indented.
void Write(std::string& out, const ordered_json& v, int indent) {
    if (v.is_primitive() || v.empty()) return Inline(out, v);
    if (v.is_array() && std::all_of(v.begin(), v.end(), [](const ordered_json& e) {
            return e.is_primitive() || (e.is_array() && Flat(e));
        }))
        return Inline(out, v);
    const bool object = v.is_object();
    const std::string pad(static_cast<size_t>(indent + 2), ' ');
    out += object ? "{\n" : "[\n";
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        out += pad;
        if (object) out += Scalar(it.key()) + ": ";
        if (it->is_object() && Flat(*it))
            Inline(out, *it);
        else
            Write(out, *it, indent + 2);
    }
    out += "\n" + std::string(static_cast<size_t>(indent), ' ') + (object ? "}" : "]");
}

}  // namespace

std::string Pretty(const ordered_json& value) {
    std::string out;
    Write(out, value, 0);
    return out + "\n";
}

}  // namespace cli::schema
