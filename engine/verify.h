#pragma once
// Verification of written data (the command line's --verify): every block a run writes carries a header
// (magic, run identifier, the block's own offset, a sequence number, worker and stream) and a CRC32C of the
// whole block; every read of a block the run has written is checked against the last acknowledged write.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/records.h"

namespace engine {

#pragma pack(push, 1)
struct BlockHeader {
    char magic[8];  // "VOLSTRSV"
    uint64_t runId;
    int64_t offset;     // where the block was meant to go
    uint64_t sequence;  // of the write within the run, from 1
    uint32_t worker;
    uint32_t stream;
    uint32_t crc;  // CRC32C of the whole block with this field 0
    uint32_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(BlockHeader) == 48);

// What a run wrote where, for one volume: per block the last acknowledged write's sequence and the writes
// begun and in flight. How a read is judged: it is compared with the last acknowledged write only when no
// write to the same block was in flight or began while it ran (the writes' counters are the same before
// and after the read). Writes to one block that overlapped each other leave its content open (either may
// have landed last): such a block is not judged until a write that overlapped nothing is acknowledged. A
// write that failed leaves it open too.
class BlockStates {
  public:
    static constexpr size_t kBytesPerBlock = 16;
    static constexpr uint64_t kOpen = ~uint64_t{0};

    // Throws std::bad_alloc when the states do not fit.
    explicit BlockStates(int64_t blocks);
    int64_t Blocks() const { return blocks_; }

    struct WriteToken {
        uint64_t begun;
        bool alone;
    };
    WriteToken BeginWrite(int64_t block);
    void EndWrite(int64_t block, const WriteToken& token, uint64_t sequence, bool acknowledged);

    // Taken before a read; Judge after it gives the sequence the block must hold, or 0 when the read
    // cannot be judged (never written in this run, open, or a write overlapped the read).
    uint64_t BeginRead(int64_t block) const;
    uint64_t Judge(int64_t block, uint64_t before) const;
    // The last acknowledged sequence (0: never written, kOpen: open).
    uint64_t Acknowledged(int64_t block) const;

  private:
    struct State {
        std::atomic<uint64_t> acknowledged{0};
        std::atomic<uint64_t> activity{0};  // writes begun (high 32 bits) and in flight (low 32 bits)
    };
    static_assert(sizeof(State) == kBytesPerBlock);
    int64_t blocks_;
    std::unique_ptr<State[]> states_;
};

enum class MismatchKind { Corrupted, Misdirected, Lost };

struct Mismatch {
    MismatchKind kind = MismatchKind::Corrupted;
    int volume = 0;
    int64_t block = 0;
    int64_t offsetExpected = 0, offsetFound = 0;
    uint64_t sequenceExpected = 0, sequenceFound = 0;
    uint64_t runFound = 0;
    uint32_t crcExpected = 0, crcFound = 0;
    int64_t atTicks = 0;
};

struct VerifyResults {
    static constexpr size_t kKept = 16;  // mismatches kept with full detail; the rest are counted
    int64_t blocksChecked = 0;
    int64_t readErrors = 0;           // reads that failed, so their blocks could not be checked
    std::array<int64_t, 3> byKind{};  // corrupted, misdirected, lost
    std::vector<Mismatch> first;
    int64_t Mismatches() const { return byKind[0] + byKind[1] + byKind[2]; }
};

class Verifier {
  public:
    // Memory the states of these volumes need: kBytesPerBlock per block.
    static int64_t BytesNeeded(const std::vector<int64_t>& blocksPerVolume);

    Verifier(uint64_t runId, const std::array<int64_t, kDiskCount>& blocksPerVolume);
    uint64_t RunId() const { return runId_; }
    BlockStates* States(int volume) const { return states_[static_cast<size_t>(volume)].get(); }
    uint64_t NextSequence() { return sequence_.fetch_add(1, std::memory_order_relaxed) + 1; }

    // Writes the header and checksum into a block that already holds the run's random bytes.
    void Stamp(void* block, uint32_t size, int64_t offset, uint64_t sequence, uint32_t worker,
               uint32_t stream) const;
    // Checks a block read from `offset` against the sequence it must hold; a mismatch is counted and kept.
    // True when the block holds what was written.
    bool Check(int volume, const void* block, uint32_t size, int64_t offset, uint64_t expected,
               int64_t atTicks, VerifyResults& into);
    // The timed run's results so far (a copy, under the lock).
    VerifyResults Timed() const;
    // Checks one read of the timed run (counted in Timed()).
    bool CheckTimed(int volume, const void* block, uint32_t size, int64_t offset, uint64_t expected,
                    int64_t atTicks);
    // Blocks written in the run: `known` their last write was acknowledged and overlapped no other, `open`
    // the others (two writes overlapped, two workers in step over the same blocks, or the last one failed).
    struct Written {
        int64_t known = 0;
        int64_t open = 0;
    };
    Written BlocksWritten() const;

  private:
    uint64_t runId_;
    std::atomic<uint64_t> sequence_{0};
    std::array<std::unique_ptr<BlockStates>, kDiskCount> states_;
    mutable std::mutex mutex_;
    VerifyResults timed_;
};

// One stream's share of the verification: the data each write carries, and the judgement of each read.
// With no verifier every call is a no-op and writes carry the run's plain data.
class StreamVerification {
  public:
    StreamVerification() = default;
    // writeBuffer: a block of the stream's own, filled with the run's random bytes here.
    StreamVerification(Verifier* verifier, int volume, uint32_t worker, uint32_t stream, void* writeBuffer,
                       const void* randomBuffer, uint32_t size);
    bool On() const { return states_ != nullptr; }

    // Before the call: the buffer a write of `block` carries, stamped.
    const void* PrepareWrite(int64_t block, int64_t offset);
    void PrepareRead(int64_t block);
    // After the call.
    void FinishWrite(uint32_t error);
    // The read's result: kDataMismatch when the data is not what was last acknowledged there.
    uint32_t FinishRead(const void* data, int64_t offset, uint32_t error, int64_t endTicks);

  private:
    bool InRange(int64_t block) const { return block >= 0 && block < states_->Blocks(); }
    Verifier* verifier_ = nullptr;
    BlockStates* states_ = nullptr;
    int volume_ = 0;
    uint32_t worker_ = 0, stream_ = 0, size_ = 0;
    unsigned char* writeBuffer_ = nullptr;
    int64_t block_ = -1;
    uint64_t sequence_ = 0, readToken_ = 0;
    BlockStates::WriteToken writeToken_{};
};

}  // namespace engine
