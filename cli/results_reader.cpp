#include "cli/results_reader.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "cli/results_schema.h"

namespace cli {

namespace {

using nlohmann::json;
namespace key = schema;

// Walks a document with the dotted path of where it is, so every refusal names the key.
class Reader {
  public:
    Reader(const std::string& name, std::string& error) : name_(name), error_(error) {}

    bool Fail(const std::string& path, const std::string& what) {
        error_ = name_ + ": " + path + " " + what;
        return false;
    }
    const json* Key(const json& object, const std::string& path, const char* key) {
        const auto it = object.find(key);
        if (it == object.end()) {
            Fail(Join(path, key), "is missing");
            return nullptr;
        }
        return &*it;
    }
    static std::string Join(const std::string& path, const std::string& key) {
        return path.empty() ? key : path + "." + key;
    }
    bool Object(const json& object, const std::string& path, const char* key, const json*& out) {
        out = Key(object, path, key);
        if (!out) return false;
        return out->is_object() || Fail(Join(path, key), "is not an object");
    }
    bool Array(const json& object, const std::string& path, const char* key, const json*& out) {
        out = Key(object, path, key);
        if (!out) return false;
        return out->is_array() || Fail(Join(path, key), "is not an array");
    }
    bool String(const json& object, const std::string& path, const char* key, std::string& out) {
        const json* v = Key(object, path, key);
        if (!v) return false;
        if (!v->is_string()) return Fail(Join(path, key), "is not a string");
        out = v->get<std::string>();
        return true;
    }
    // An integer from `least` up, that fits int64.
    bool Integer(const json& v, const std::string& path, int64_t& out, int64_t least = 0) {
        if (v.is_number_unsigned()) {
            if (v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) return Fail(path, "is too large");
            out = static_cast<int64_t>(v.get<uint64_t>());
        } else if (v.is_number_integer()) {
            out = v.get<int64_t>();
        } else {
            return Fail(path, "is not an integer");
        }
        if (out < least) return Fail(path, "must be " + std::to_string(least) + " or more");
        return true;
    }
    bool Integer(const json& object, const std::string& path, const char* key, int64_t& out,
                 int64_t least = 0) {
        const json* v = Key(object, path, key);
        return v && Integer(*v, Join(path, key), out, least);
    }
    // A finite number of 0 or more.
    bool Number(const json& object, const std::string& path, const char* key, double& out) {
        const json* v = Key(object, path, key);
        if (!v) return false;
        if (!v->is_number()) return Fail(Join(path, key), "is not a number");
        out = v->get<double>();
        if (!std::isfinite(out) || out < 0)
            return Fail(Join(path, key), "must be a finite number of 0 or more");
        return true;
    }

    bool Histogram(const json& object, const std::string& path, engine::LogLinearHistogram& h) {
        const json* j = nullptr;
        const json* buckets = nullptr;
        if (!Object(object, path, key::kLatencyHistogram, j)) return false;
        const std::string at = Join(path, key::kLatencyHistogram);
        int64_t sub = 0, top = 0, total = 0;
        if (!Integer(*j, at, key::kSubBits, sub) || !Integer(*j, at, key::kTopExponent, top)) return false;
        if (sub != engine::LogLinearHistogram::kSubBits || top != engine::LogLinearHistogram::kTopExponent)
            return Fail(at, "has another layout (sub_bits " + std::to_string(sub) + ", top_exponent " +
                                std::to_string(top) + "; this program reads 6 and 42)");
        if (!Integer(*j, at, key::kTotal, total) || !Integer(*j, at, key::kMinNs, h.minNs) ||
            !Integer(*j, at, key::kMaxNs, h.maxNs) || !Array(*j, at, key::kBuckets, buckets))
            return false;
        if (h.minNs > h.maxNs) return Fail(at, "has min_ns above max_ns");
        uint64_t sum = 0;
        for (size_t k = 0; k < buckets->size(); ++k) {
            const json& b = (*buckets)[k];
            const std::string bat = at + ".buckets[" + std::to_string(k) + "]";
            if (!b.is_array() || b.size() != 2) return Fail(bat, "is not a pair [index, count]");
            int64_t index = 0, count = 0;
            if (!Integer(b[0], bat + "[0]", index) || !Integer(b[1], bat + "[1]", count)) return false;
            if (index >= engine::LogLinearHistogram::kBuckets)
                return Fail(bat, "names a bucket out of range");
            uint64_t& cell = h.counts[static_cast<size_t>(index)];
            if (__builtin_add_overflow(cell, static_cast<uint64_t>(count), &cell) ||
                __builtin_add_overflow(sum, static_cast<uint64_t>(count), &sum))
                return Fail(bat, "makes the counts overflow");
        }
        // The counts and the total are one fact told twice: a file where they differ cannot be believed.
        if (sum != static_cast<uint64_t>(total))
            return Fail(at, "counts " + std::to_string(sum) + " operations in its buckets but says total " +
                                std::to_string(total));
        h.total = sum;
        return true;
    }

    bool Figures(const json& object, const std::string& path, FigureResults& f) {
        const json* totals = nullptr;
        const json* causes = nullptr;
        const json* intervals = nullptr;
        const std::string t = Join(path, key::kTotals);
        if (!Object(object, path, key::kTotals, totals) || !Integer(*totals, t, key::kIoCount, f.ioCount) ||
            !Integer(*totals, t, key::kBytes, f.bytes) || !Integer(*totals, t, key::kErrors, f.errors) ||
            !Number(object, path, key::kIoPerSec, f.ioPerSec) ||
            !Number(object, path, key::kMbytesPerSec, f.mbytesPerSec) ||
            !String(object, path, key::kFirstOperationUtc, f.firstOperationUtc) ||
            !Histogram(object, path, f.latency) || !Array(object, path, key::kErrorsByCause, causes) ||
            !Array(object, path, key::kIntervals, intervals))
            return false;
        if (f.errors > f.ioCount) return Fail(t, "counts more errors than operations");
        for (size_t k = 0; k < causes->size(); ++k) {
            const json& c = (*causes)[k];
            const std::string at = Join(path, "errors_by_cause[" + std::to_string(k) + "]");
            if (!c.is_object()) return Fail(at, "is not an object");
            CauseResults cause;
            const json* code = Key(c, at, key::kCode);
            if (!code) return false;
            cause.other = code->is_null();
            if (!cause.other && !Integer(*code, Join(at, key::kCode), cause.code)) return false;
            if (!String(c, at, key::kName, cause.name) || !String(c, at, key::kText, cause.text) ||
                !Integer(c, at, key::kCount, cause.count))
                return false;
            f.causes.push_back(cause);
        }
        for (size_t k = 0; k < intervals->size(); ++k) {
            const json& in = (*intervals)[k];
            const std::string at = Join(path, "intervals[" + std::to_string(k) + "]");
            if (!in.is_object()) return Fail(at, "is not an object");
            IntervalResults r;
            if (!Number(in, at, key::kStartSeconds, r.startSeconds) ||
                !Integer(in, at, key::kIoCount, r.ioCount) || !Integer(in, at, key::kBytes, r.bytes))
                return false;
            f.intervals.push_back(r);
        }
        return true;
    }

  private:
    const std::string& name_;
    std::string& error_;
};

}  // namespace

bool ReadResults(const std::string& text, const std::string& name, Results& results, std::string& error) {
    results = {};
    Reader r(name, error);
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return r.Fail("", "is not JSON: not a volstress-cli results file");
    std::string tool;
    int64_t version = 0;
    if (!r.String(doc, "", key::kTool, tool)) return false;
    if (tool != key::kRunTool)
        return r.Fail(key::kTool, "is \"" + tool + "\": not a volstress-cli results file (--json)");
    if (!r.Integer(doc, "", key::kSchemaVersion, version)) return false;
    if (version < key::kOldestRead || version > key::kVersion)
        return r.Fail(key::kSchemaVersion, "is " + std::to_string(version) + "; this program reads " +
                                               std::to_string(key::kOldestRead) + " to " +
                                               std::to_string(key::kVersion) +
                                               ", whose fields mean what it expects");
    const json* settings = nullptr;
    const json* failures = nullptr;
    const json* volumes = nullptr;
    const json* all = nullptr;
    if (!r.Object(doc, "", key::kSettings, settings) || !r.String(doc, "", key::kHost, results.host) ||
        !r.Array(doc, "", key::kOpenFailures, failures) || !r.Array(doc, "", key::kVolumes, volumes) ||
        !r.Object(doc, "", key::kAll, all))
        return false;
    for (const auto& [key, value] : settings->items()) {
        if (value.is_structured()) return r.Fail("settings." + key, "is not a single value");
        results.settings[key] = value.dump();
    }
    if (!r.Integer(*settings, key::kSettings, key::kIntervalSeconds, results.intervalSeconds, 1))
        return false;
    results.openFailures = !failures->empty();
    for (size_t k = 0; k < volumes->size(); ++k) {
        const json& v = (*volumes)[k];
        const std::string at = "volumes[" + std::to_string(k) + "]";
        if (!v.is_object()) return r.Fail(at, "is not an object");
        VolumeResults volume;
        if (!r.String(v, at, key::kLetter, volume.letter) || !r.String(v, at, key::kDevice, volume.device) ||
            !r.Figures(v, at, volume.figures))
            return false;
        results.volumes.push_back(std::move(volume));
    }
    return r.Figures(*all, key::kAll, results.all);
}

}  // namespace cli
