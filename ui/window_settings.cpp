#include "ui/window_settings.h"

#include "stats/format.h"

namespace ui {

namespace {

using engine::SettingField;

struct Field {
    SettingField field;
    const std::string WindowTexts::*text;
    const char* caption;
};

// The numeric controls in the order Start reads them, with the captions of their labels.
const Field kNumbers[] = {{SettingField::BlockSize, &WindowTexts::blockSize, "Размер блока"},
                          {SettingField::TestTime, &WindowTexts::testMinutes, "Время тестирования (минут)"},
                          {SettingField::ThreadCount, &WindowTexts::threads, "Количество потоков на диск"},
                          {SettingField::PauseMs, &WindowTexts::pauseMs, "Время (ms) между порциями"},
                          {SettingField::ReadsPerPortion, &WindowTexts::reads, "соотношение I/O R"},
                          {SettingField::WritesPerPortion, &WindowTexts::writes, "к W"}};

const Field* FieldOf(SettingField f) {
    for (const Field& field : kNumbers)
        if (field.field == f) return &field;
    return nullptr;
}

engine::Method MethodOf(const std::string& text) {
    if (text == "Random") return engine::Method::Random;
    if (text == "Batterfly") return engine::Method::Batterfly;
    if (text == "Linear forward") return engine::Method::LinearForward;
    if (text == "Linear backward") return engine::Method::LinearBackward;
    return engine::Method::None;
}

std::string VolumeName(int i, const engine::VolumeSet& set) {
    return std::string(1, static_cast<char>('A' + i)) + ": (" + set.DevicePath(i) + ")";
}

}  // namespace

bool ReadWindowSettings(const WindowTexts& t, engine::RunSettings& s, engine::Refusal& refusal) {
    int32_t values[std::size(kNumbers)] = {};
    for (size_t k = 0; k < std::size(kNumbers); ++k)
        if (!engine::ParseInt32(t.*kNumbers[k].text, values[k])) {
            refusal = {};
            refusal.why = engine::Refusal::Why::NotAnInteger;
            refusal.field = kNumbers[k].field;
            refusal.value = t.*kNumbers[k].text;
            return false;
        }
    s = {};
    s.blockSize = values[0];
    s.testMs = int64_t{values[1]} * 60'000;
    s.threadsPerVolume = values[2];
    s.pauseMs = values[3];
    s.readsPerPortion = values[4];
    s.writesPerPortion = values[5];
    s.method = MethodOf(t.method);
    s.pauseType = t.pauseType == "Fixed" ? engine::PauseType::Fixed : engine::PauseType::Random;
    s.ioCountType = t.ioCountType == "Fixed" ? engine::IOCountType::Fixed : engine::IOCountType::Random;
    return true;
}

std::string RefusalText(const engine::Refusal& r, const WindowTexts& t, const engine::VolumeSet& volumes) {
    using Why = engine::Refusal::Why;
    if (r.why == Why::TooManyWorkers)
        return "Максимальное количество потоков " + std::to_string(r.limit) + ". Запрошено " +
               std::to_string(r.requested);
    if (r.why == Why::RunMemory)
        return "Для буферов потоков, карты проверки и журнала операций нужно " + std::to_string(r.requested) +
               " байт, а можно занять не больше " + std::to_string(r.limit) +
               " (три четверти памяти машины). Уменьшите размер блока или число потоков";
    const Field* f = FieldOf(r.field);
    const std::string head =
        std::string(f ? f->caption : "Параметр") + ": «" + (f ? t.*f->text : r.value) + "» ";
    switch (r.why) {
        case Why::NotAnInteger:
            return head + "— не целое число";
        case Why::BelowMinimum:
            return head + "— должно быть не меньше " + std::to_string(r.limit);
        case Why::OutOfRange:
            return head + "— должно быть в пределах ±" + std::to_string(r.limit / 60'000);
        case Why::NotMultiple:
            return head + "— должен быть кратен " + std::to_string(r.limit) +
                   " байтам, единице обмена тома " + VolumeName(r.volume, volumes);
        case Why::LargerThanVolume:
            return head + "больше тома " + VolumeName(r.volume, volumes) + ", в котором " +
                   std::to_string(r.limit) + " байт";
        default:
            return head + "— недопустимое значение";
    }
}

std::string DestructionQuestion(const std::vector<int>& volumes, const engine::VolumeSet& set) {
    std::string list, lines;
    for (int i : volumes) {
        list += (list.empty() ? "" : ",") + std::to_string(i);
        lines += "\n" + std::string(1, static_cast<char>('A' + i)) + ":  " + set.DevicePath(i) + "  " +
                 stats::FormatCount(set.Size(i) / 1'048'576) + " MBytes";
    }
    return "Данные на дисках " + list + " будут уничтожены. Продолжим?\n" + lines;
}

}  // namespace ui
