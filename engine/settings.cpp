#include "engine/settings.h"

#include <charconv>

namespace engine {

bool ParseInt32(const std::string& text, int32_t& value) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return false;
    }
    if (first == last) return false;
    int32_t v = 0;
    const auto [ptr, ec] = std::from_chars(first, last, v, 10);
    if (ec != std::errc() || ptr != last) return false;
    value = v;
    return true;
}

int32_t TestMethodFromText(const std::string& text) {
    if (text == "Random") return 1;
    if (text == "Batterfly") return 2;
    if (text == "Linear forward") return 3;
    if (text == "Linear backward") return 4;
    return 0;
}

int32_t StatisticPeriodFor(int32_t minutes) {
    const int64_t b = (static_cast<int64_t>(minutes) * 120 - 1) / 1000;
    for (const int32_t p : PeriodTable)
        if (p >= b) return p;
    return PeriodTable.back();
}

namespace {

bool ParseField(const std::string& text, const char* field, int32_t& value, std::string& error) {
    if (ParseInt32(text, value)) return true;
    error = "'" + text + "' is not a valid integer value for " + field;
    return false;
}

bool NotNegative(const std::string& text, const char* field, int32_t value, std::string& error) {
    if (value >= 0) return true;
    error = "'" + text + "' is not allowed for " + field + ": it must be 0 or more";
    return false;
}

}  // namespace

std::optional<RunSettings> ValidateRunSettings(const RunSettingsText& text, std::string& error,
                                               SettingField* field) {
    RunSettings s;
    auto fail = [&](SettingField f) -> std::optional<RunSettings> {
        if (field) *field = f;
        return std::nullopt;
    };
    if (field) *field = SettingField::None;
    if (!ParseField(text.BlockSize, "the block size", s.BlockSize, error)) return fail(SettingField::BlockSize);
    if (s.BlockSize <= 0) {
        error = "'" + text.BlockSize + "' is not allowed for the block size: it must be at least 1 byte";
        return fail(SettingField::BlockSize);
    }
    s.TestMethod = TestMethodFromText(text.TestMethod);
    int64_t seconds = 0;
    if (text.TestSeconds.empty()) {
        if (!ParseField(text.TestTime, "the test time", s.TestMinutes, error)) return fail(SettingField::TestTime);
        if (s.TestMinutes > kMaxTestMinutes || s.TestMinutes < -kMaxTestMinutes) {
            error = "'" + text.TestTime + "' is not allowed for the test time: it must be within " +
                    std::to_string(kMaxTestMinutes) + " minutes";
            return fail(SettingField::TestTime);
        }
        s.TestEndTime = static_cast<int64_t>(s.TestMinutes) * 60'000;
        seconds = static_cast<int64_t>(s.TestMinutes) * 60;
    } else {
        int32_t secs = 0;
        if (!ParseField(text.TestSeconds, "the test time in seconds", secs, error))
            return fail(SettingField::TestSeconds);
        if (secs < 0 || secs > kMaxTestMinutes * 60) {
            error = "'" + text.TestSeconds + "' is not allowed for the test time in seconds: it must be 0 to " +
                    std::to_string(kMaxTestMinutes * 60);
            return fail(SettingField::TestSeconds);
        }
        s.TestEndTime = static_cast<int64_t>(secs) * 1000;
        s.TestMinutes = static_cast<int32_t>((secs + 59) / 60);
        seconds = secs;
    }
    s.StatisticPeriodSeconds = StatisticPeriodFor(s.TestMinutes);
    if (!text.StatisticPeriod.empty()) {
        if (!ParseField(text.StatisticPeriod, "the statistics interval", s.StatisticPeriodSeconds, error))
            return fail(SettingField::StatisticPeriod);
        // Past 1000 intervals the last one restarts and earlier operations drop out of the totals.
        if (s.StatisticPeriodSeconds < 1 || seconds / s.StatisticPeriodSeconds >= 1000) {
            error = "'" + text.StatisticPeriod + "' is not allowed for the statistics interval: a " +
                    std::to_string(seconds) + "-second test needs at least " + std::to_string(seconds / 999 + 1) +
                    " s to stay within 1000 intervals";
            return fail(SettingField::StatisticPeriod);
        }
    }
    if (!ParseField(text.ThreadCount, "the thread count", s.ThreadsPerDisk, error)) return fail(SettingField::ThreadCount);
    if (!ParseField(text.PauseMs, "the pause between portions", s.PauseMs, error) ||
        !NotNegative(text.PauseMs, "the pause between portions", s.PauseMs, error))
        return fail(SettingField::PauseMs);
    s.PauseFixed = text.PauseType == "Fixed";
    if (!ParseField(text.ReadsPerPortion, "the reads per portion", s.ReadsPerPortion, error) ||
        !NotNegative(text.ReadsPerPortion, "the reads per portion", s.ReadsPerPortion, error))
        return fail(SettingField::ReadsPerPortion);
    if (!ParseField(text.WritesPerPortion, "the writes per portion", s.WritesPerPortion, error) ||
        !NotNegative(text.WritesPerPortion, "the writes per portion", s.WritesPerPortion, error))
        return fail(SettingField::WritesPerPortion);
    s.IOsPerPortionFixed = text.IOCountType == "Fixed";
    return s;
}

}  // namespace engine
