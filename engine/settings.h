#pragma once
// Test settings as the operator types them, and their validation. Shared by every front end.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace engine {

constexpr std::array<int32_t, 10> PeriodTable = {1, 5, 10, 30, 60, 300, 600, 3600, 10800, 21600};
constexpr int32_t kMaxWorkers = 1024;
// Longest test time whose milliseconds fit a signed 32-bit value.
constexpr int32_t kMaxTestMinutes = 35'791;

// The texts of the settings controls, with the window's stored defaults.
struct RunSettingsText {
    std::string BlockSize = "4096";
    std::string TestMethod = "Random";
    std::string TestTime = "30";  // minutes
    std::string ThreadCount = "2";
    std::string PauseMs = "0";
    std::string PauseType = "Random";
    std::string ReadsPerPortion = "1";
    std::string WritesPerPortion = "0";
    std::string IOCountType = "Fixed";
    // Not on the window: a test time in seconds instead of minutes, and a fixed statistics interval in
    // seconds instead of the one that follows from the test time. Empty means not given.
    std::string TestSeconds;
    std::string StatisticPeriod;
};

// Which setting a validation message is about.
enum class SettingField {
    None, BlockSize, TestTime, TestSeconds, ThreadCount, PauseMs, ReadsPerPortion, WritesPerPortion, StatisticPeriod
};

struct RunSettings {
    int32_t BlockSize = 0;
    int32_t TestMethod = 0;  // 0: the text names none of the four patterns
    int32_t TestMinutes = 0;
    int64_t TestEndTime = 0;  // ms
    int32_t ThreadsPerDisk = 0;
    int32_t StatisticPeriodSeconds = 0;
    int32_t PauseMs = 0;
    bool PauseFixed = false;
    int32_t ReadsPerPortion = 0;
    int32_t WritesPerPortion = 0;
    bool IOsPerPortionFixed = false;
};

// A decimal integer in the signed 32-bit range, optionally signed, nothing else (no blanks).
bool ParseInt32(const std::string& text, int32_t& value);
// 1..4 for "Random", "Batterfly", "Linear forward", "Linear backward" (whole, case-sensitive); else 0.
int32_t TestMethodFromText(const std::string& text);
// The first PeriodTable entry >= (minutes * 120 - 1) / 1000, or the last entry.
int32_t StatisticPeriodFor(int32_t minutes);
// All settings or, for the first bad one, a message that names the field and the text.
std::optional<RunSettings> ValidateRunSettings(const RunSettingsText& text, std::string& error,
                                               SettingField* field = nullptr);

}  // namespace engine
