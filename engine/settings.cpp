#include "engine/settings.h"

#include <algorithm>
#include <charconv>

#include "engine/verify.h"

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

int32_t StatisticPeriodFor(int32_t minutes) {
    const int64_t b = (static_cast<int64_t>(minutes) * 120 - 1) / 1000;
    for (const int32_t p : PeriodTable)
        if (p >= b) return p;
    return PeriodTable.back();
}

int32_t StatisticPeriodOf(const RunSettings& s) {
    if (s.periodSeconds > 0) return s.periodSeconds;
    // Truncation toward zero rounds a negative time up already; a positive one is rounded up here.
    const int64_t minutes = s.testMs > 0 ? (s.testMs + 59'999) / 60'000 : s.testMs / 60'000;
    return StatisticPeriodFor(static_cast<int32_t>(minutes));
}

namespace {

Refusal Refuse(Refusal::Why why, SettingField field, int64_t value, int64_t limit = 0) {
    Refusal r;
    r.why = why;
    r.field = field;
    r.value = std::to_string(value);
    r.limit = limit;
    return r;
}

}  // namespace

Refusal Validate(const RunSettings& s) {
    using Why = Refusal::Why;
    if (s.blockSize < 1) return Refuse(Why::BelowMinimum, SettingField::BlockSize, s.blockSize, 1);
    if (s.testMs > kMaxTestMs || s.testMs < -kMaxTestMs)
        return Refuse(Why::OutOfRange, SettingField::TestTime, s.testMs, kMaxTestMs);
    if (s.periodSeconds != 0) {
        if (s.periodSeconds < 1) return Refuse(Why::BelowMinimum, SettingField::Period, s.periodSeconds, 1);
        // Past the record's intervals the last one restarts, and its earlier operations drop out of the
        // totals.
        const int64_t seconds = s.testMs > 0 ? s.testMs / 1000 : 0;
        if (seconds / s.periodSeconds >= 1000)
            return Refuse(Why::TooManyIntervals, SettingField::Period, s.periodSeconds, seconds / 999 + 1);
    }
    if (s.liveSeconds < 0) return Refuse(Why::BelowMinimum, SettingField::LiveInterval, s.liveSeconds, 1);
    if (s.pauseMs < 0) return Refuse(Why::BelowMinimum, SettingField::PauseMs, s.pauseMs, 0);
    if (s.verify && s.blockSize < 48)
        return Refuse(Why::BlockTooSmallToVerify, SettingField::BlockSize, s.blockSize, 48);
    if (s.queueDepth < 1) return Refuse(Why::BelowMinimum, SettingField::QueueDepth, s.queueDepth, 1);
    if (s.queueDepth > kMaxQueueDepth)
        return Refuse(Why::OutOfRange, SettingField::QueueDepth, s.queueDepth, kMaxQueueDepth);
    // 0: found while the run goes.
    if (s.submitBatch < 0) return Refuse(Why::BelowMinimum, SettingField::SubmitBatch, s.submitBatch, 0);
    if (s.submitBatch > s.queueDepth)
        return Refuse(Why::OutOfRange, SettingField::SubmitBatch, s.submitBatch, s.queueDepth);
    // Registration is a queue's; the synchronous calls of depth 1 have nothing to register with.
    if (s.registerFile && s.queueDepth == 1) return Refuse(Why::NeedsQueue, SettingField::RegisterFile, 1, 2);
    if (s.registerBuffers && s.queueDepth == 1)
        return Refuse(Why::NeedsQueue, SettingField::RegisterBuffers, 1, 2);
    if (s.pollUs < 0) return Refuse(Why::BelowMinimum, SettingField::PollUs, s.pollUs, 0);
    if (s.pollUs > kMaxPollUs) return Refuse(Why::OutOfRange, SettingField::PollUs, s.pollUs, kMaxPollUs);
    if (s.readsPerPortion < 0)
        return Refuse(Why::BelowMinimum, SettingField::ReadsPerPortion, s.readsPerPortion, 0);
    if (s.writesPerPortion < 0)
        return Refuse(Why::BelowMinimum, SettingField::WritesPerPortion, s.writesPerPortion, 0);
    return {};
}

Refusal ValidateStart(const RunSettings& s, const StartFacts& f) {
    using Why = Refusal::Why;
    if (Refusal r = Validate(s)) return r;
    for (const StartFacts::Volume& v : f.volumes) {
        Refusal r;
        r.field = SettingField::BlockSize;
        r.value = std::to_string(s.blockSize);
        r.volume = v.index;
        if (v.alignment > 1 && s.blockSize % v.alignment != 0) {
            r.why = Why::NotMultiple;
            r.limit = v.alignment;
            return r;
        }
        if (s.blockSize > v.size) {
            r.why = Why::LargerThanVolume;
            r.limit = v.size;
            return r;
        }
    }
    // The true product: one that would wrap in 32 bits is refused like any other above the limit.
    const int64_t workers = static_cast<int64_t>(f.volumes.size()) * s.threadsPerVolume;
    if (workers > kMaxWorkers) {
        Refusal r = Refuse(Why::TooManyWorkers, SettingField::ThreadCount, s.threadsPerVolume, kMaxWorkers);
        r.requested = workers;
        return r;
    }
    if (workers * s.queueDepth > kMaxInFlight) {
        Refusal r = Refuse(Why::TooManyInFlight, SettingField::QueueDepth, s.queueDepth, kMaxInFlight);
        r.requested = workers * s.queueDepth;
        return r;
    }
    if (s.verify && s.writesPerPortion > 0) {
        // What the run writes where is remembered block by block: refused when it would take more than half
        // the machine's memory (the run's whole memory is checked below).
        std::vector<int64_t> blocks;
        for (const StartFacts::Volume& v : f.volumes) blocks.push_back(v.size / s.blockSize);
        const int64_t needed = Verifier::BytesNeeded(blocks);
        if (f.memoryBytes > 0 && needed > f.memoryBytes / 2) {
            Refusal r = Refuse(Why::VerifyMemory, SettingField::Verify, 1, f.memoryBytes / 2);
            r.requested = needed;
            return r;
        }
    }
    // Buffers are made and touched before the test time; a run whose buffers, map and log would not fit
    // in memory is refused with the sizes, rather than paged out or killed once it has begun.
    std::array<int64_t, 3> parts{};
    const int64_t needed = RunMemoryBytes(s, f, parts);
    const int64_t allowed = f.memoryBytes / kRunMemoryShareDen * kRunMemoryShareNum;
    if (f.memoryBytes > 0 && needed > allowed) {
        Refusal r = Refuse(Why::RunMemory, SettingField::BlockSize, s.blockSize, allowed);
        r.requested = needed;
        r.parts = parts;
        return r;
    }
    return {};
}

int64_t BufferBytes(int32_t blockSize) {
    const int64_t pages = (std::max<int64_t>(blockSize, 1) + 4095) / 4096 * 4096;
    constexpr int64_t kHuge = int64_t{2} << 20;
    return pages >= (int64_t{1} << 20) ? (pages + kHuge - 1) / kHuge * kHuge : pages;
}

int64_t RunMemoryBytes(const RunSettings& s, const StartFacts& f, std::array<int64_t, 3>& parts) {
    const bool verifiedWrites = s.verify && s.writesPerPortion > 0;
    const int64_t workers = static_cast<int64_t>(f.volumes.size()) * std::max(s.threadsPerVolume, 0);
    const int64_t perWorker = 2 + int64_t{std::max(s.queueDepth, 1)} * (verifiedWrites ? 2 : 1);
    // At most 1,024 workers, 2,050 buffers each, of under 2^31 bytes: no product here overflows.
    parts[0] = workers * perWorker * BufferBytes(s.blockSize);
    parts[1] = 0;
    if (verifiedWrites && s.blockSize > 0) {
        std::vector<int64_t> blocks;
        for (const StartFacts::Volume& v : f.volumes) blocks.push_back(v.size / s.blockSize);
        parts[1] = Verifier::BytesNeeded(blocks);
    }
    parts[2] = f.logBytes;
    return parts[0] + parts[1] + parts[2];
}

}  // namespace engine
