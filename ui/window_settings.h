#pragma once
// The settings controls' texts read into typed settings, and the window's words for what Start refuses
// or asks. No Qt here: the rules are tested without a display.
#include <string>
#include <vector>

#include "engine/settings.h"
#include "engine/volume_set.h"

namespace ui {

// The texts of the settings controls, with the window's stored defaults.
struct WindowTexts {
    std::string blockSize = "4096";
    std::string method = "Random";
    std::string testMinutes = "30";
    std::string threads = "2";
    std::string pauseMs = "0";
    std::string pauseType = "Random";
    std::string reads = "1";
    std::string writes = "0";
    std::string ioCountType = "Fixed";
};

// Each number a decimal integer in the signed 32-bit range; the method whole and case-sensitive, any
// other text naming none (the last run's method stays); a type "Fixed" exactly or else random. False with
// the refusal for the first text that is not an integer.
bool ReadWindowSettings(const WindowTexts& texts, engine::RunSettings& settings, engine::Refusal& refusal);

inline constexpr const char* kBadSettingsCaption = "Неподходящие праметры задания";
inline constexpr const char* kWarningCaption = "Предупреждение!!!";

// The body of the box that shows a refusal, naming the field by its caption and quoting its text.
std::string RefusalText(const engine::Refusal& refusal, const WindowTexts& texts,
                        const engine::VolumeSet& volumes);
// The destructive-write question: the volume indices as the sentence has them, then one line per volume
// with its letter, device and size, which is what an operator recognises.
std::string DestructionQuestion(const std::vector<int>& volumes, const engine::VolumeSet& set);

}  // namespace ui
