#include "engine/verify.h"

#include <cstring>

#include "platform/checksum.h"
#include "platform/error_codes.h"

namespace engine {

namespace {

constexpr char kMagic[8] = {'V', 'O', 'L', 'S', 'T', 'R', 'S', 'V'};
constexpr uint64_t kInFlightMask = 0xffffffffu;
constexpr uint64_t kOneBegun = uint64_t{1} << 32;

// The CRC of a block computed as if its own field held 0, without copying the block.
uint32_t BlockCrc(const void* block, uint32_t size) {
    const auto* bytes = static_cast<const unsigned char*>(block);
    constexpr size_t at = offsetof(BlockHeader, crc);
    static constexpr unsigned char zero[sizeof(uint32_t)] = {};
    uint32_t crc = platform::Crc32cExtend(0, bytes, at);
    crc = platform::Crc32cExtend(crc, zero, sizeof zero);
    return platform::Crc32cExtend(crc, bytes + at + sizeof zero, size - at - sizeof zero);
}

}  // namespace

BlockStates::BlockStates(int64_t blocks) : blocks_(blocks), states_(new State[static_cast<size_t>(blocks)]) {}

BlockStates::WriteToken BlockStates::BeginWrite(int64_t block) {
    State& s = states_[static_cast<size_t>(block)];
    const uint64_t before = s.activity.fetch_add(kOneBegun + 1, std::memory_order_acq_rel);
    const bool alone = (before & kInFlightMask) == 0;
    // Another write is in flight: whichever lands last is unknown, so the block is open from now on.
    if (!alone) s.acknowledged.store(kOpen, std::memory_order_release);
    return {(before >> 32) + 1, alone};
}

void BlockStates::EndWrite(int64_t block, const WriteToken& token, uint64_t sequence, bool acknowledged) {
    State& s = states_[static_cast<size_t>(block)];
    // No other write began since this one did, and none was in flight then: its content is what is there.
    const bool clean = token.alone && (s.activity.load(std::memory_order_acquire) >> 32) == token.begun;
    s.acknowledged.store(clean && acknowledged ? sequence : kOpen, std::memory_order_release);
    s.activity.fetch_sub(1, std::memory_order_acq_rel);
}

uint64_t BlockStates::BeginRead(int64_t block) const {
    return states_[static_cast<size_t>(block)].activity.load(std::memory_order_acquire);
}

uint64_t BlockStates::Judge(int64_t block, uint64_t before) const {
    const State& s = states_[static_cast<size_t>(block)];
    const uint64_t expected = s.acknowledged.load(std::memory_order_acquire);
    const uint64_t after = s.activity.load(std::memory_order_acquire);
    if ((before & kInFlightMask) != 0 || after != before || expected == kOpen) return 0;
    return expected;
}

uint64_t BlockStates::Acknowledged(int64_t block) const {
    return states_[static_cast<size_t>(block)].acknowledged.load(std::memory_order_acquire);
}

int64_t Verifier::BytesNeeded(const std::vector<int64_t>& blocksPerVolume) {
    int64_t bytes = 0;
    for (int64_t b : blocksPerVolume)
        bytes += (b > 0 ? b : 0) * static_cast<int64_t>(BlockStates::kBytesPerBlock);
    return bytes;
}

Verifier::Verifier(uint64_t runId, const std::array<int64_t, kDiskCount>& blocksPerVolume) : runId_(runId) {
    timed_.first.reserve(VerifyResults::kKept);  // nothing is allocated while workers check
    for (int i = 0; i < kDiskCount; ++i)
        if (blocksPerVolume[static_cast<size_t>(i)] > 0)
            states_[static_cast<size_t>(i)] =
                std::make_unique<BlockStates>(blocksPerVolume[static_cast<size_t>(i)]);
}

void Verifier::Stamp(void* block, uint32_t size, int64_t offset, uint64_t sequence, uint32_t worker,
                     uint32_t stream) const {
    BlockHeader h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.runId = runId_;
    h.offset = offset;
    h.sequence = sequence;
    h.worker = worker;
    h.stream = stream;
    std::memcpy(block, &h, sizeof h);
    h.crc = BlockCrc(block, size);
    std::memcpy(static_cast<unsigned char*>(block) + offsetof(BlockHeader, crc), &h.crc, sizeof h.crc);
}

bool Verifier::Check(int volume, const void* block, uint32_t size, int64_t offset, uint64_t expected,
                     int64_t atTicks, VerifyResults& into) {
    BlockHeader h;
    std::memcpy(&h, block, sizeof h);
    const uint32_t crc = BlockCrc(block, size);
    Mismatch m;
    m.volume = volume;
    m.block = offset / static_cast<int64_t>(size);
    m.offsetExpected = offset;
    m.offsetFound = h.offset;
    m.sequenceExpected = expected;
    m.sequenceFound = h.sequence;
    m.runFound = h.runId;
    m.crcExpected = crc;
    m.crcFound = h.crc;
    m.atTicks = atTicks;
    bool good = false;
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || crc != h.crc)
        m.kind = MismatchKind::Corrupted;
    else if (h.runId != runId_ || h.sequence < expected)
        m.kind = h.offset == offset || h.runId != runId_ ? MismatchKind::Lost : MismatchKind::Misdirected;
    else if (h.offset != offset)
        m.kind = MismatchKind::Misdirected;
    else if (h.sequence > expected)
        m.kind = MismatchKind::Corrupted;  // newer than any write acknowledged here: not this block's history
    else
        good = true;
    std::lock_guard lock(mutex_);
    ++into.blocksChecked;
    if (good) return true;
    ++into.byKind[static_cast<size_t>(m.kind)];
    if (into.first.size() < VerifyResults::kKept) into.first.push_back(m);
    return false;
}

bool Verifier::CheckTimed(int volume, const void* block, uint32_t size, int64_t offset, uint64_t expected,
                          int64_t atTicks) {
    return Check(volume, block, size, offset, expected, atTicks, timed_);
}

VerifyResults Verifier::Timed() const {
    std::lock_guard lock(mutex_);
    return timed_;
}

StreamVerification::StreamVerification(Verifier* verifier, int volume, uint32_t worker, uint32_t stream,
                                       void* writeBuffer, const void* randomBuffer, uint32_t size)
    : verifier_(verifier),
      states_(verifier && writeBuffer && size >= sizeof(BlockHeader) ? verifier->States(volume) : nullptr),
      volume_(volume),
      worker_(worker),
      stream_(stream),
      size_(size),
      writeBuffer_(static_cast<unsigned char*>(writeBuffer)) {
    if (states_) std::memcpy(writeBuffer_, randomBuffer, size);
}

const void* StreamVerification::PrepareWrite(int64_t block, int64_t offset) {
    block_ = InRange(block) ? block : -1;
    if (block_ < 0) return writeBuffer_;
    sequence_ = verifier_->NextSequence();
    writeToken_ = states_->BeginWrite(block_);
    verifier_->Stamp(writeBuffer_, size_, offset, sequence_, worker_, stream_);
    return writeBuffer_;
}

void StreamVerification::PrepareRead(int64_t block) {
    block_ = InRange(block) ? block : -1;
    if (block_ >= 0) readToken_ = states_->BeginRead(block_);
}

void StreamVerification::FinishWrite(uint32_t error) {
    if (block_ >= 0) states_->EndWrite(block_, writeToken_, sequence_, error == 0);
}

uint32_t StreamVerification::FinishRead(const void* data, int64_t offset, uint32_t error, int64_t endTicks) {
    if (block_ < 0 || error != 0) return error;
    const uint64_t expected = states_->Judge(block_, readToken_);
    if (expected == 0) return 0;
    return verifier_->CheckTimed(volume_, data, size_, offset, expected, endTicks) ? 0
                                                                                   : platform::kDataMismatch;
}

Verifier::Written Verifier::BlocksWritten() const {
    Written n;
    for (const auto& s : states_)
        if (s)
            for (int64_t b = 0; b < s->Blocks(); ++b) {
                const uint64_t a = s->Acknowledged(b);
                n.known += a != 0 && a != BlockStates::kOpen;
                n.open += a == BlockStates::kOpen;
            }
    return n;
}

}  // namespace engine
