// Verification of written data: the header and checksum, the rule for reads that overlap writes, and runs
// whose device corrupts, misplaces or loses what it acknowledged.
#include "engine/verify.h"

#include <gtest/gtest.h>

#include <set>

#include "engine/engine.h"
#include "platform/checksum.h"
#include "platform/error_codes.h"
#include "tests/test_support.h"

using namespace engine;
using namespace std::chrono_literals;
using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;
using testing_support::TempDir;
using testing_support::WaitFor;

TEST(Crc32c, TheStandardCheckValueAndConcatenation) {
    EXPECT_EQ(platform::Crc32c("123456789", 9), 0xE3069283u);
    EXPECT_EQ(platform::Crc32cExtend(platform::Crc32c("1234", 4), "56789", 5), 0xE3069283u);
    EXPECT_EQ(platform::Crc32c("", 0), 0u);
}

TEST(Verifier, TellsCorruptedMisdirectedAndLostBlocksApart) {
    std::array<int64_t, kDiskCount> blocks{};
    blocks[2] = 64;
    Verifier v(77, blocks);
    std::vector<unsigned char> block(4096, 0x5C);
    v.Stamp(block.data(), 4096, 8 * 4096, 5, 1, 0);
    EXPECT_TRUE(v.CheckTimed(2, block.data(), 4096, 8 * 4096, 5, 100));  // what was written, where it was

    std::vector<unsigned char> flipped = block;
    flipped[3000] ^= 0x10;
    EXPECT_FALSE(v.CheckTimed(2, flipped.data(), 4096, 8 * 4096, 5, 101));
    EXPECT_FALSE(v.CheckTimed(2, block.data(), 4096, 9 * 4096, 5, 102));  // block 8's data found at block 9
    EXPECT_FALSE(v.CheckTimed(2, block.data(), 4096, 8 * 4096, 6, 103));  // write 6 acknowledged, 5 found
    Verifier other(78, blocks);
    EXPECT_FALSE(other.CheckTimed(2, block.data(), 4096, 8 * 4096, 5, 104));  // an earlier run's data

    const VerifyResults r = v.Timed();
    EXPECT_EQ(r.blocksChecked, 4);
    EXPECT_EQ(r.byKind, (std::array<int64_t, 3>{1, 1, 1}));
    ASSERT_EQ(r.first.size(), 3u);
    EXPECT_EQ(r.first[0].kind, MismatchKind::Corrupted);
    EXPECT_NE(r.first[0].crcExpected, r.first[0].crcFound);
    EXPECT_EQ(r.first[1].kind, MismatchKind::Misdirected);
    EXPECT_EQ(r.first[1].offsetExpected, 9 * 4096);
    EXPECT_EQ(r.first[1].offsetFound, 8 * 4096);
    EXPECT_EQ(r.first[2].kind, MismatchKind::Lost);
    EXPECT_EQ(r.first[2].sequenceExpected, 6u);
    EXPECT_EQ(r.first[2].sequenceFound, 5u);
    EXPECT_EQ(other.Timed().first.at(0).kind, MismatchKind::Lost);
    EXPECT_EQ(Verifier::BytesNeeded({1000, 24}), 1024 * 16);
}

TEST(BlockStates, AReadIsJudgedOnlyWhenNoWriteToItsBlockOverlapsIt) {
    BlockStates b(4);
    EXPECT_EQ(b.Judge(0, b.BeginRead(0)), 0u);  // never written in this run: not judged

    auto w = b.BeginWrite(0);
    const uint64_t during = b.BeginRead(0);
    b.EndWrite(0, w, 1, true);
    EXPECT_EQ(b.Judge(0, during), 0u);  // the read began while the write was in flight
    EXPECT_EQ(b.Judge(0, b.BeginRead(0)), 1u);

    const uint64_t before = b.BeginRead(0);
    w = b.BeginWrite(0);
    b.EndWrite(0, w, 2, true);
    EXPECT_EQ(b.Judge(0, before), 0u);  // a write began and ended while the read ran
    EXPECT_EQ(b.Judge(0, b.BeginRead(0)), 2u);

    // Two writes in flight at once: either may have landed last, so the block is open...
    auto a = b.BeginWrite(1);
    auto c = b.BeginWrite(1);
    b.EndWrite(1, a, 3, true);
    b.EndWrite(1, c, 4, true);
    EXPECT_EQ(b.Acknowledged(1), BlockStates::kOpen);
    EXPECT_EQ(b.Judge(1, b.BeginRead(1)), 0u);
    // ...until a write that overlapped nothing is acknowledged.
    a = b.BeginWrite(1);
    b.EndWrite(1, a, 5, true);
    EXPECT_EQ(b.Judge(1, b.BeginRead(1)), 5u);
    // A failed write leaves the block open too.
    a = b.BeginWrite(2);
    b.EndWrite(2, a, 6, false);
    EXPECT_EQ(b.Judge(2, b.BeginRead(2)), 0u);
}

TEST(Verifier, BlocksLeftOpenAreCountedAsWrittenNotAsUntouched) {
    // Two workers walking in step over the same blocks leave every block open: the run still wrote them, and
    // its report must not say it wrote nothing.
    std::array<int64_t, kDiskCount> blocks{};
    blocks[0] = 4;
    Verifier v(1, blocks);
    BlockStates& b = *v.States(0);
    auto a = b.BeginWrite(1);
    auto c = b.BeginWrite(1);
    b.EndWrite(1, a, v.NextSequence(), true);
    b.EndWrite(1, c, v.NextSequence(), true);
    a = b.BeginWrite(2);
    b.EndWrite(2, a, v.NextSequence(), true);
    EXPECT_EQ(v.BlocksWritten().known, 1);
    EXPECT_EQ(v.BlocksWritten().open, 1);
}

namespace {

// Image files whose devices acknowledge every write but keep only the first one to each block: the later
// ones vanish, as on a device with a faulty cache.
class VanishingWrites : public platform::IVolumeSystem {
  public:
    explicit VanishingWrites(const platform::VolumeMap& map) : real_(platform::MakeVolumeSystem(map)) {}
    std::string DevicePath(int i) const override { return real_->DevicePath(i); }
    std::unique_ptr<platform::IVolumeProbe> OpenProbe(int i, uint32_t& e) override {
        return real_->OpenProbe(i, e);
    }
    std::unique_ptr<platform::IVolumeDevice> OpenDevice(int i, bool write, uint32_t& e) override {
        auto d = real_->OpenDevice(i, write, e);
        return d ? std::make_unique<Device>(std::move(d), *this) : nullptr;
    }

  private:
    struct Device : platform::IVolumeDevice {
        Device(std::unique_ptr<platform::IVolumeDevice> d, VanishingWrites& s) : real(std::move(d)), sys(s) {}
        uint32_t ReadAt(void* b, uint32_t n, int64_t o) override { return real->ReadAt(b, n, o); }
        uint32_t WriteAt(const void* b, uint32_t n, int64_t o) override {
            {
                std::lock_guard lock(sys.mutex);
                if (!sys.written.insert(o).second) return 0;  // acknowledged, never written
            }
            return real->WriteAt(b, n, o);
        }
        void* AllocateBuffer(size_t n) override { return real->AllocateBuffer(n); }
        void FreeBuffer(void* b) override { real->FreeBuffer(b); }
        std::unique_ptr<platform::IIoQueue> OpenQueue(uint32_t d, const platform::QueueOptions& o,
                                                      uint32_t& e) override {
            return real->OpenQueue(d, o, e);
        }
        std::unique_ptr<platform::IVolumeDevice> real;
        VanishingWrites& sys;
    };
    std::unique_ptr<platform::IVolumeSystem> real_;
    std::mutex mutex;
    std::set<int64_t> written;
};

}  // namespace

TEST(VerifyRun, WritesThatVanishAreFoundLostByTheReadBack) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 16 * 4096, 0x00);
    FakeDialogs dialogs;
    Engine eng(std::make_shared<VanishingWrites>(map), dialogs, 100'000);
    eng.Volumes().EnumerateVolumes();
    std::array<bool, kDiskCount> checked{};
    checked[2] = true;
    RunSettings s;
    s.threadsPerVolume = 1;
    s.method = Method::LinearForward;
    s.readsPerPortion = 0;
    s.writesPerPortion = 1;
    s.verify = true;
    ASSERT_EQ(eng.Start(s, checked, [](const std::vector<int>&) { return true; }).outcome,
              StartOutcome::Started);
    ASSERT_TRUE(WaitFor([&] { return eng.Log().Count() >= 64; }));  // every block written four times
    eng.Stop();
    ASSERT_TRUE(WaitFor([&] { return !eng.Workers().AnyBusy(); }));
    ASSERT_TRUE(eng.Verification());
    EXPECT_EQ(eng.Verification()->BlocksWritten().known, 16);
    uint32_t error = 0;
    const VerifyResults r = eng.ReadBack(
        2, [] { return false; }, error);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(r.blocksChecked, 16);
    EXPECT_EQ(r.byKind[static_cast<size_t>(MismatchKind::Lost)], 16);
    ASSERT_FALSE(r.first.empty());
    EXPECT_EQ(r.first[0].sequenceFound, 1u);  // the first pass's write is what stayed
    EXPECT_GT(r.first[0].sequenceExpected, r.first[0].sequenceFound);
    EXPECT_EQ(eng.Verification()->Timed().Mismatches(), 0);  // the read-back is apart from the run
}

TEST(VerifyRun, MemoryForTheWrittenBlocksIsCheckedBeforeTheRun) {
    auto fake = std::make_shared<FakeVolumeSystem>();
    fake->volumes[2].present = true;
    fake->volumes[2].deviceSize = int64_t{1} << 60;  // an exabyte: 2^48 blocks of 4 KiB
    FakeDialogs dialogs;
    Engine eng(fake, dialogs, 1000);
    eng.Volumes().EnumerateVolumes();
    std::array<bool, kDiskCount> checked{};
    checked[2] = true;
    RunSettings s;
    s.writesPerPortion = 1;
    s.verify = true;
    const StartResult r = eng.Start(s, checked, [](const std::vector<int>&) { return true; });
    EXPECT_EQ(r.outcome, StartOutcome::Refused);
    EXPECT_EQ(r.refusal.why, Refusal::Why::VerifyMemory);
    EXPECT_EQ(r.refusal.requested, (int64_t{1} << 48) * 16);
    EXPECT_FALSE(eng.Running());
    s.blockSize = 32;
    EXPECT_EQ(eng.Start(s, checked, {}).refusal.why, Refusal::Why::BlockTooSmallToVerify);
}
