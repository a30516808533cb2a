// What every queue the operation loop can drive must do, run against each: the synchronous queue and the
// system's own (io_uring on Linux, overlapped I/O under Windows) on an image file, and the tests' fake.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/io_queue.h"
#include "platform/volume_device.h"
#include "tests/test_support.h"

namespace {

using platform::IoCompletion;
using platform::IoRequest;
using testing_support::FakeVolumeSystem;
using testing_support::TempDir;

constexpr uint32_t kBlock = 4096;
constexpr int64_t kImage = 64 * 1024;

class QueueContract : public ::testing::TestWithParam<std::string> {
  protected:
    // The queue under test at `depth` (at most what it takes) on a fresh image of `bytes`.
    void Open(uint32_t depth, int64_t bytes = kImage) {
        const std::string kind = GetParam();
        if (kind == "system" && !platform::QueuedEngine().available)
            GTEST_SKIP() << platform::QueuedEngine().name << " is not available here";
        if (kind == "fake") {
            fake_.volumes[0].present = true;
            fake_.volumes[0].deviceSize = bytes;
        } else {
            platform::VolumeMap map;
            map.devicePath[0] = image_ = dir_.MakeImage("q.img", static_cast<size_t>(bytes), 0x11);
            sys_ = platform::MakeVolumeSystem(map);
        }
        uint32_t error = 0;
        device_ = (kind == "fake" ? static_cast<platform::IVolumeSystem&>(fake_) : *sys_)
                      .OpenDevice(0, true, error);
        ASSERT_TRUE(device_) << error;
        queue_ = kind == "sync" ? platform::MakeSyncQueue(*device_) : device_->OpenQueue(depth, {}, error);
        ASSERT_TRUE(queue_) << error;
    }
    bool Real() const { return GetParam() != "fake"; }
    uint32_t Depth(uint32_t asked) const { return GetParam() == "sync" ? 1 : asked; }
    void TearDown() override {
        queue_.reset();
        for (void* b : buffers_) device_->FreeBuffer(b);
        buffers_.clear();
        device_.reset();
        sys_.reset();
    }
    void* Buffer(unsigned char fill) {
        void* b = device_->AllocateBuffer(kBlock);
        std::memset(b, fill, kBlock);
        buffers_.push_back(b);
        return b;
    }
    IoRequest Request(bool write, int64_t offset, uint32_t tag, void* buffer) {
        IoRequest q;
        q.buffer = buffer;
        q.size = kBlock;
        q.offset = offset;
        q.write = write;
        q.tag = tag;
        return q;
    }
    // Hands over as many as the queue takes, and reaps, until every request has completed (or 10 s passed).
    std::vector<IoCompletion> Run(const std::vector<IoRequest>& requests) {
        std::vector<IoCompletion> got;
        size_t next = 0;
        const int64_t f = platform::CounterFrequency();
        const int64_t deadline = platform::CounterNow() + 10 * f;
        while (got.size() < requests.size() && platform::CounterNow() < deadline) {
            while (next < requests.size() && queue_->Queue(requests[next])) ++next;
            EXPECT_EQ(queue_->Submit(false), 0u);
            IoCompletion c;
            while (queue_->InFlight() > 0 && queue_->Reap(c, 10'000'000)) got.push_back(c);
        }
        return got;
    }

    TempDir dir_;
    std::string image_;
    FakeVolumeSystem fake_;
    std::unique_ptr<platform::IVolumeSystem> sys_;
    std::unique_ptr<platform::IVolumeDevice> device_;
    std::unique_ptr<platform::IIoQueue> queue_;
    std::vector<void*> buffers_;
};

// Every request comes back once with its own tag (the highest a tag may be too), all in flight at once up to
// the depth and no more, each timed within the calls that carried it.
TEST_P(QueueContract, TagsComeBackOnceAtEveryDepthAndTimingBracketsTheCalls) {
    for (uint32_t asked : {1u, 2u, 8u, 64u}) {
        const uint32_t depth = Depth(asked);
        if (asked > 1 && depth == 1) break;
        Open(depth, int64_t{kBlock} * 64);
        if (IsSkipped()) return;
        std::set<uint32_t> tags;
        for (uint32_t k = 0; k < depth; ++k) {
            const uint32_t tag =
                k == 0 ? platform::IIoQueue::kMaxTags - 1 : k * 7919 % platform::IIoQueue::kMaxTags;
            tags.insert(tag);
            ASSERT_TRUE(queue_->Queue(Request(false, int64_t{kBlock} * k, tag, Buffer(0)))) << depth;
        }
        EXPECT_FALSE(queue_->Queue(Request(false, 0, 1, Buffer(0)))) << "past the depth " << depth;
        const int64_t before = platform::CounterNow();
        ASSERT_EQ(queue_->Submit(false), 0u);
        std::multiset<uint32_t> back;
        IoCompletion c;
        const int64_t deadline = before + 10 * platform::CounterFrequency();
        while (back.size() < depth && platform::CounterNow() < deadline)
            if (queue_->Reap(c, 10'000'000)) {
                const int64_t after = platform::CounterNow();
                EXPECT_EQ(c.error, 0u);
                EXPECT_LE(before, c.start);
                EXPECT_LE(c.start, c.end);
                EXPECT_LE(c.end, after);
                back.insert(c.tag);
            }
        EXPECT_EQ(back, std::multiset<uint32_t>(tags.begin(), tags.end())) << "depth " << depth;
        EXPECT_EQ(queue_->InFlight(), 0u);
        EXPECT_FALSE(queue_->Reap(c, 0));
        TearDown();
    }
}

// A stop cancels what is in flight, and still every request completes exactly once.
TEST_P(QueueContract, AStopCancelsAndEveryRequestStillCompletesOnce) {
    const uint32_t depth = Depth(16);
    Open(depth, int64_t{kBlock} * 64);
    if (IsSkipped()) return;
    for (uint32_t k = 0; k < depth; ++k)
        ASSERT_TRUE(queue_->Queue(Request(k % 2 == 1, int64_t{kBlock} * k, k, Buffer(0x22))));
    ASSERT_EQ(queue_->Submit(false), 0u);
    queue_->CancelAll();
    std::multiset<uint32_t> back;
    IoCompletion c;
    const int64_t deadline = platform::CounterNow() + 10 * platform::CounterFrequency();
    while (queue_->InFlight() > 0 && platform::CounterNow() < deadline)
        if (queue_->Reap(c, 10'000'000)) back.insert(c.tag);
    EXPECT_EQ(back.size(), depth);
    EXPECT_EQ(std::set<uint32_t>(back.begin(), back.end()).size(), depth);
    EXPECT_FALSE(queue_->Reap(c, 1'000'000));
}

// A write that would reach past an image's end fails and the image does not grow; a read that reaches past
// it is a short transfer, one at the end too.
TEST_P(QueueContract, NoWritePastAnImagesEndAndShortReadsAreShort) {
    Open(Depth(4), kImage + 2048);
    if (IsSkipped()) return;
    std::vector<IoRequest> r = {
        Request(true, kImage, 1, Buffer(0x33)), Request(true, kImage + kBlock, 2, Buffer(0x33)),
        Request(false, kImage, 3, Buffer(0)), Request(false, kImage + kBlock, 4, Buffer(0)),
        Request(false, 0, 5, Buffer(0))};
    if (!Real()) r.resize(2);  // the fake knows nothing of short reads
    const std::vector<IoCompletion> got = Run(r);
    ASSERT_EQ(got.size(), r.size());
    for (const IoCompletion& c : got) {
        if (c.tag <= 2) {
            EXPECT_NE(c.error, 0u) << "a write past the end, tag " << c.tag;
        } else {
            EXPECT_EQ(c.error, c.tag == 5 ? 0u : platform::kShortTransfer) << c.tag;
        }
    }
    if (Real()) {
        queue_.reset();
        EXPECT_EQ(std::filesystem::file_size(image_), static_cast<uintmax_t>(kImage + 2048));
    }
}

// Blocks written through the queue, each with its own stamp, read back through it as they were written.
TEST_P(QueueContract, StampedWritesReadBackIntact) {
    if (!Real()) GTEST_SKIP() << "the fake keeps no data";
    Open(Depth(8));
    if (IsSkipped()) return;
    std::vector<IoRequest> writes, reads;
    for (uint32_t k = 0; k < 16; ++k) {
        auto* b = static_cast<unsigned char*>(Buffer(static_cast<unsigned char>(0x40 + k)));
        std::memcpy(b, &k, sizeof k);
        writes.push_back(Request(true, int64_t{kBlock} * k, k, b));
        reads.push_back(Request(false, int64_t{kBlock} * k, 100 + k, Buffer(0)));
    }
    for (const IoCompletion& c : Run(writes)) EXPECT_EQ(c.error, 0u) << c.tag;
    const std::vector<IoCompletion> got = Run(reads);
    ASSERT_EQ(got.size(), reads.size());
    for (const IoCompletion& c : got) {
        ASSERT_EQ(c.error, 0u) << c.tag;
        const uint32_t k = c.tag - 100;
        const auto* b = static_cast<const unsigned char*>(reads[k].buffer);
        uint32_t stamp = 0;
        std::memcpy(&stamp, b, sizeof stamp);
        EXPECT_EQ(stamp, k);
        EXPECT_TRUE(std::all_of(b + sizeof k, b + kBlock, [&](unsigned char x) { return x == 0x40 + k; }))
            << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Queues, QueueContract, ::testing::Values("sync", "system", "fake"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
