#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/error_text.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/io_queue_uring.h"
#include "platform/memory.h"
#include "platform/path_identity.h"
#include "platform/volume_device.h"
#include "platform/volume_map.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using testing_support::LoopDevice;
using testing_support::TempDir;

TEST(VolumeMap, NaturalOrderOfKernelNames) {
    const std::vector<std::string> ordered = {"loop0",     "loop1",     "loop2",      "loop10",
                                              "nvme0n1p1", "nvme0n1p2", "nvme0n1p10", "sda1",
                                              "sda2",      "sdb",       "vda"};
    for (size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_TRUE(platform::NaturalLess(ordered[i], ordered[i + 1]))
            << ordered[i] << " < " << ordered[i + 1];
        EXPECT_FALSE(platform::NaturalLess(ordered[i + 1], ordered[i])) << ordered[i + 1];
    }
    EXPECT_FALSE(platform::NaturalLess("sda", "sda"));
    EXPECT_TRUE(platform::NaturalLess("loop99999999999999999999", "loop100000000000000000000"));
}

namespace {

void FakeBlock(const fs::path& sys, const std::string& name, unsigned long long sectors,
               const std::vector<std::string>& partitions = {}) {
    fs::create_directories(sys / name);
    std::ofstream(sys / name / "size") << sectors << "\n";
    for (const auto& p : partitions) {
        fs::create_directories(sys / name / p);
        std::ofstream(sys / name / p / "partition") << "1\n";
    }
}

}  // namespace

TEST(VolumeMap, LettersFromCInNaturalOrderSkippingPartitionedAndEmptyDevices) {
    TempDir dir;
    const fs::path sys = dir.path() / "block";
    FakeBlock(sys, "sda", 1000, {"sda1", "sda2"});  // holds partitions: not a volume
    FakeBlock(sys, "sda1", 400);
    FakeBlock(sys, "sda2", 600);
    FakeBlock(sys, "loop1", 8);
    FakeBlock(sys, "loop0", 8);
    FakeBlock(sys, "loop7", 0);  // unattached loop device
    FakeBlock(sys, "sr0", 0);    // no medium
    FakeBlock(sys, "vda", 2048);
    FakeBlock(sys, "nvme0n1", 900, {"nvme0n1p1"});
    FakeBlock(sys, "nvme0n1p1", 900);
    const platform::VolumeMap map = platform::SystemVolumeMap(sys.string(), "/dev");
    EXPECT_EQ(map.devicePath[0], "");
    EXPECT_EQ(map.devicePath[1], "");
    EXPECT_EQ(map.devicePath[2], "/dev/loop0");
    EXPECT_EQ(map.devicePath[3], "/dev/loop1");
    EXPECT_EQ(map.devicePath[4], "/dev/nvme0n1p1");
    EXPECT_EQ(map.devicePath[5], "/dev/sda1");
    EXPECT_EQ(map.devicePath[6], "/dev/sda2");
    EXPECT_EQ(map.devicePath[7], "/dev/vda");
    EXPECT_EQ(map.devicePath[8], "");
}

TEST(VolumeMap, AtMostTwentyFourVolumesAndAMissingTreeGivesNone) {
    TempDir dir;
    const fs::path sys = dir.path() / "block";
    for (int i = 0; i < 30; ++i) FakeBlock(sys, "loop" + std::to_string(i), 8);
    const platform::VolumeMap map = platform::SystemVolumeMap(sys.string(), "/dev");
    EXPECT_EQ(map.devicePath[25], "/dev/loop23");
    const platform::VolumeMap none = platform::SystemVolumeMap((dir.path() / "missing").string(), "/dev");
    for (const auto& p : none.devicePath) EXPECT_EQ(p, "");
}

TEST(FileVolumes, ImageFileProbesAndTransfersAtExplicitOffsets) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 64 * 1024, 0x11);
    map.devicePath[3] = (dir.path() / "missing.img").string();
    auto sys = platform::MakeVolumeSystem(map);
    EXPECT_EQ(sys->DevicePath(2), map.devicePath[2]);

    uint32_t error = 0;
    auto probe = sys->OpenProbe(2, error);
    ASSERT_TRUE(probe);
    int64_t size = 0;
    ASSERT_TRUE(probe->DeviceSize(size));
    EXPECT_EQ(size, 64 * 1024);
    EXPECT_FALSE(probe->FileSystemSize(size));  // no file system is mounted from a plain file

    EXPECT_FALSE(sys->OpenProbe(3, error));
    EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(sys->OpenProbe(9, error));  // a slot without a device

    auto dev = sys->OpenDevice(2, true, error);
    ASSERT_TRUE(dev);
    auto* buf = static_cast<unsigned char*>(dev->AllocateBuffer(4096));
    ASSERT_TRUE(buf);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buf) % 4096, 0u);
    std::fill(buf, buf + 4096, 0x5A);
    EXPECT_EQ(dev->WriteAt(buf, 4096, 8192), 0u);
    std::fill(buf, buf + 4096, 0);
    EXPECT_EQ(dev->ReadAt(buf, 4096, 8192), 0u);
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(buf[4095], 0x5A);
    EXPECT_EQ(dev->ReadAt(buf, 4096, -4096), static_cast<uint32_t>(EINVAL));  // as block -1 must
    dev->FreeBuffer(buf);
    dev.reset();

    auto ro = sys->OpenDevice(2, false, error);
    ASSERT_TRUE(ro);
    unsigned char* b = static_cast<unsigned char*>(ro->AllocateBuffer(4096));
    EXPECT_EQ(ro->WriteAt(b, 4096, 0), static_cast<uint32_t>(EBADF));  // a read-only handle refuses writes
    ro->FreeBuffer(b);
}

// Regions for logs and large buffers: huge-page aligned, zero, usable to their last byte, and a size whose
// rounding to whole huge pages would wrap is refused rather than mapped short.
TEST(Memory, RegionsAreZeroedHugePageAlignedAndRefusedWhenTheirSizeWraps) {
    for (const size_t n : {size_t{1}, (size_t{3} << 20) + 5}) {
        auto* r = static_cast<unsigned char*>(platform::AllocateRegion(n));
        ASSERT_TRUE(r);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(r) % (2u << 20), 0u);
        EXPECT_EQ(std::count(r, r + n, 0), static_cast<std::ptrdiff_t>(n));
        std::memset(r, 0xA5, n);
        EXPECT_EQ(r[n - 1], 0xA5);
        platform::FreeRegion(r, n);
    }
    EXPECT_EQ(platform::AllocateRegion(SIZE_MAX - (size_t{2} << 20)), nullptr);  // its mapping would wrap
    EXPECT_EQ(platform::AllocateRegion(SIZE_MAX), nullptr);
    platform::FreeRegion(nullptr, 4096);
}

// Large blocks travel in buffers of whole huge pages: aligned to one, zeroed, every byte usable, and each
// released on its own, whatever the order.
TEST(FileVolumes, LargeBlocksGetHugePageAlignedBuffersThatCarryTheirWholeLength) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 8 << 20, 0x11);
    auto sys = platform::MakeVolumeSystem(map);
    uint32_t error = 0;
    auto dev = sys->OpenDevice(2, true, error);
    ASSERT_TRUE(dev);
    constexpr uint32_t kSizes[] = {1u << 20, (3u << 20) + 4096};
    unsigned char* bufs[2] = {};
    for (int k = 0; k < 2; ++k) {
        const uint32_t n = kSizes[k];
        bufs[k] = static_cast<unsigned char*>(dev->AllocateBuffer(n));
        ASSERT_TRUE(bufs[k]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bufs[k]) % (2u << 20), 0u);
        EXPECT_EQ(std::count(bufs[k], bufs[k] + n, 0), static_cast<std::ptrdiff_t>(n));
        for (uint32_t i = 0; i < n; ++i) bufs[k][i] = static_cast<unsigned char>(i * 7 + k);
        EXPECT_EQ(dev->WriteAt(bufs[k], n, 4096), 0u);
        std::fill(bufs[k], bufs[k] + n, 0);
        EXPECT_EQ(dev->ReadAt(bufs[k], n, 4096), 0u);
        EXPECT_EQ(bufs[k][n - 1], static_cast<unsigned char>((n - 1) * 7 + k));
    }
    auto* small = static_cast<unsigned char*>(dev->AllocateBuffer(4096));
    ASSERT_TRUE(small);
    EXPECT_EQ(small[4095], 0);
    dev->FreeBuffer(bufs[0]);  // not in the order given
    dev->FreeBuffer(small);
    dev->FreeBuffer(bufs[1]);
}

TEST(FileVolumes, SeveralWritersOpenTheSameVolumeAtOnce) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 16 * 1024);
    auto sys = platform::MakeVolumeSystem(map);
    uint32_t error = 0;
    auto a = sys->OpenDevice(2, true, error);
    auto b = sys->OpenDevice(2, true, error);
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
}

TEST(ManualResetEvent, StaysSignalledUntilResetAndReleasesWaiters) {
    platform::ManualResetEvent ev("ThreadManage7", true);
    EXPECT_EQ(ev.Name(), "ThreadManage7");
    EXPECT_TRUE(ev.IsSet());
    ev.Wait();  // signalled: returns at once
    EXPECT_TRUE(ev.IsSet());
    ev.Reset();
    EXPECT_FALSE(ev.IsSet());
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        ev.Wait();
        released = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(released.load());
    ev.Set();
    waiter.join();
    EXPECT_TRUE(released.load());
}

TEST(Clock, CounterIsMonotonicAndTickCountFollowsIt) {
    const int64_t a = platform::CounterNow();
    const uint32_t t0 = platform::TickCountMs();
    platform::SleepMs(15);
    const int64_t b = platform::CounterNow();
    const uint32_t t1 = platform::TickCountMs();
    EXPECT_GT(platform::CounterFrequency(), 0);
    EXPECT_GE(b - a, platform::CounterFrequency() * 15 / 1000);
    EXPECT_GE(static_cast<uint32_t>(t1 - t0), 15u);
    platform::SleepMs(-5);  // returns at once
}

TEST(OutputFile, WritesWholeFileAndKeepsTheOldOneOnFailure) {
    TempDir dir;
    const std::string path = (dir.path() / "out.dat").string();
    uint32_t error = 0;
    ASSERT_TRUE(platform::WriteWholeFile(path, "abc", 3, error));
    ASSERT_TRUE(platform::WriteWholeFile(path, "xy", 2, error));
    EXPECT_EQ(fs::file_size(path), 2u);
    const std::string missingDir = (dir.path() / "nope" / "out.dat").string();
    EXPECT_FALSE(platform::WriteWholeFile(missingDir, "abc", 3, error));
    EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    // An output abandoned half-way leaves the old file and no temporary file.
    {
        platform::OutputFile half;
        ASSERT_TRUE(half.Open(path, error));
        ASSERT_TRUE(half.Write("0123456789", 10, error));
    }
    EXPECT_EQ(fs::file_size(path), 2u);
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
}

TEST(OutputFile, FollowsLinksWritesDevicesAndPipesThroughAndKeepsPermissions) {
    TempDir dir;
    uint32_t error = 0;
    // A link is followed: its target gets the data and the link stays a link.
    const fs::path target = dir.path() / "target.json", link = dir.path() / "link.json";
    std::ofstream(target) << "old";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                    fs::perm_options::replace);
    fs::create_symlink("target.json", link);
    ASSERT_TRUE(platform::WriteWholeFile(link.string(), "new", 3, error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    std::string text;
    std::ifstream(target) >> text;
    EXPECT_EQ(text, "new");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // A full device is written to, reported, and stays the device it was.
    EXPECT_FALSE(platform::WriteWholeFile("/dev/full", "x", 1, error));
    EXPECT_EQ(error, static_cast<uint32_t>(ENOSPC));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));

    // A FIFO gets the data through the pipe and is never replaced by a regular file.
    const std::string fifo = (dir.path() / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] {
        std::ifstream in(fifo);
        std::getline(in, received);
    });
    EXPECT_TRUE(platform::WriteWholeFile(fifo, "through\n", 8, error)) << error;
    reader.join();
    EXPECT_EQ(received, "through");
    EXPECT_TRUE(fs::is_fifo(fifo));

    // A directory is no output file.
    EXPECT_FALSE(platform::WriteWholeFile(dir.path().string(), "x", 1, error));
    EXPECT_EQ(error, static_cast<uint32_t>(EISDIR));
}

TEST(OutputFile, PathsAreCheckedBeforeARunAndTheSameDeviceIsRecognised) {
    TempDir dir;
    uint32_t error = 0;
    EXPECT_TRUE(platform::CheckOutputPath((dir.path() / "new.json").string(), error));
    EXPECT_FALSE(platform::CheckOutputPath((dir.path() / "missing" / "r.json").string(), error));
    EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    EXPECT_FALSE(platform::CheckOutputPath(dir.path().string(), error));
    EXPECT_EQ(error, static_cast<uint32_t>(EISDIR));
    EXPECT_TRUE(platform::CheckOutputPath("/dev/null", error));

    // One thing by any of its names: a link, a file yet to be made spelled two ways, a loop device and the
    // file behind it; two things apart by their names, even where one of them is not there yet.
    const std::string a = dir.MakeImage("a.img", 4096), b = dir.MakeImage("b.img", 4096);
    fs::create_symlink(a, dir.path() / "a-link");
    const auto same = [](const std::string& x, const std::string& y) {
        platform::PathIdentity p, q;
        uint32_t code = 0;
        return platform::IdentifyPath(x, p, code) && platform::IdentifyPath(y, q, code) &&
               platform::Overlap(p, q);
    };
    EXPECT_TRUE(same(a, (dir.path() / "a-link").string()));
    EXPECT_FALSE(same(a, b));
    EXPECT_FALSE(same(a, (dir.path() / "missing").string()));
    EXPECT_TRUE(same((dir.path() / "new.img").string(), (dir.path() / "." / "new.img").string()));
    EXPECT_FALSE(same((dir.path() / "new.img").string(), (dir.path() / "new2.img").string()));
    EXPECT_FALSE(same("/dev/null", "/dev/null"));  // written through: two outputs there replace nothing
    testing_support::LoopDevice loop(dir.MakeImage("loop.img", 1 << 20));
    if (!loop.path.empty()) {
        EXPECT_TRUE(same(loop.path, (dir.path() / "loop.img").string()));
        EXPECT_TRUE(same((dir.path() / "loop.img").string(), loop.path));
        EXPECT_FALSE(same(loop.path, a));
    }
}

TEST(FileVolumes, ShortTransfersFailAndWritesNeverGrowAnImage) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 16 * 1024);
    auto sys = platform::MakeVolumeSystem(map);
    uint32_t error = 0;
    auto dev = sys->OpenDevice(2, true, error);
    ASSERT_TRUE(dev);
    auto* buf = static_cast<unsigned char*>(dev->AllocateBuffer(4096));
    // The image is cut short under the test: a read at its old end moves nothing.
    fs::resize_file(map.devicePath[2], 8 * 1024 + 512);
    EXPECT_EQ(dev->ReadAt(buf, 4096, 12 * 1024), platform::kShortTransfer);
    EXPECT_EQ(dev->ReadAt(buf, 4096, 8 * 1024), platform::kShortTransfer);
    EXPECT_EQ(dev->ReadAt(buf, 4096, 0), 0u);
    // Past the size the image had when opened a write is refused, and the file does not grow.
    EXPECT_EQ(dev->WriteAt(buf, 4096, 16 * 1024), static_cast<uint32_t>(ENOSPC));
    EXPECT_EQ(fs::file_size(map.devicePath[2]), 8u * 1024 + 512);
    dev->FreeBuffer(buf);
    EXPECT_NE(platform::SystemErrorDescription(platform::kShortTransfer), "");
}

TEST(FileVolumes, ProbesTellTheTransferUnitAndWhyAVolumeHasNoSize) {
    TempDir dir;
    platform::VolumeMap map;
    map.devicePath[2] = dir.MakeImage("c.img", 64 * 1024);
    map.devicePath[3] = dir.MakeImage("empty.img", 0);
    map.devicePath[4] = dir.path().string();
    map.devicePath[5] = "/dev/null";
    auto sys = platform::MakeVolumeSystem(map);
    uint32_t error = 0;
    auto image = sys->OpenProbe(2, error);
    ASSERT_TRUE(image);
    const int64_t unit = image->TransferAlignment();
    EXPECT_GE(unit, 1);
    EXPECT_EQ(4096 % unit, 0) << unit;  // a 4 KiB block always fits
    const std::pair<int, const char*> unusable[] = {
        {3, "empty image file"}, {4, "directory"}, {5, "character device"}};
    for (const auto& [index, words] : unusable) {
        auto probe = sys->OpenProbe(index, error);
        ASSERT_TRUE(probe) << index;
        int64_t size = 0;
        EXPECT_FALSE(probe->DeviceSize(size) && size != 0) << index;
        EXPECT_NE(probe->WhyNoSize().find(words), std::string::npos) << probe->WhyNoSize();
    }
}

TEST(FileVolumes, ABlockDeviceClaimedElsewhereIsRefusedForWritingButNotForReading) {
    TempDir dir;
    LoopDevice loop(dir.MakeImage("loop.img", 4 << 20));
    if (loop.path.empty()) GTEST_SKIP() << "no loop device can be attached here (needs root and losetup)";
    platform::VolumeMap map;
    map.devicePath[2] = loop.path;
    auto sys = platform::MakeVolumeSystem(map);
    uint32_t error = 0;
    {
        // Our own workers share one claim: several writers at once are fine.
        auto a = sys->OpenDevice(2, true, error);
        auto b = sys->OpenDevice(2, true, error);
        ASSERT_TRUE(a && b) << error;
    }
    // Someone else holds the device exclusively, as a mounted file system does.
    const int holder = ::open(loop.path.c_str(), O_RDONLY | O_EXCL);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(sys->OpenDevice(2, true, error));
    EXPECT_EQ(error, static_cast<uint32_t>(EBUSY));
    EXPECT_TRUE(sys->OpenDevice(2, false, error));  // reading a claimed volume stays allowed
    ::close(holder);
    EXPECT_TRUE(sys->OpenDevice(2, true, error));
}

TEST(AsyncQueue, AWaitingSubmissionIsBoundedAndARequestThatNeverCompletesIsCancelled) {
    if (!platform::QueuedEngine().available) GTEST_SKIP() << "io_uring cannot be set up here";
    // With the completion ring read before each sleep too: the same bounds.
    for (const int64_t poll : {int64_t{0}, int64_t{50'000}}) {
        SCOPED_TRACE(poll);
        platform::QueueOptions options;
        options.pollNs = poll;
        // A read of an empty pipe whose writer stays open never completes: a device that never answers.
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        struct Seen {
            uint32_t made = 0, submit = 1, inFlight = 0, cancelledTag = 0, cancelledError = 0;
            bool reapedBeforeCancel = true, reapedAfterCancel = false;
        };
        // One thread makes and drives the ring, as a worker does.
        auto run = std::async(std::launch::async, [&] {
            Seen seen;
            std::unique_ptr<platform::IIoQueue> queue =
                platform::MakeUringQueue(fds[0], -1, 4, options, seen.made);
            if (!queue) return seen;
            char buffer[512];
            platform::IoRequest q;
            q.buffer = buffer;
            q.size = sizeof buffer;
            q.tag = 3;
            queue->Queue(q);
            seen.submit = queue->Submit(true);
            seen.inFlight = queue->InFlight();
            platform::IoCompletion c;
            seen.reapedBeforeCancel = queue->Reap(c, 20'000'000);
            queue->CancelAll();
            seen.reapedAfterCancel = queue->Reap(c, 1'000'000'000);
            seen.cancelledTag = c.tag;
            seen.cancelledError = c.error;
            return seen;
        });
        const bool returned = run.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        if (!returned) {
            ADD_FAILURE() << "a submission that waits for a completion must not wait without bound";
            EXPECT_EQ(::write(fds[1], "x", 1), 1);  // let it go, so the test can end
        }
        const Seen seen = run.get();
        ::close(fds[0]);
        ::close(fds[1]);
        ASSERT_EQ(seen.made, 0u);
        EXPECT_EQ(seen.submit, 0u);
        EXPECT_EQ(seen.inFlight, 1u);
        EXPECT_FALSE(seen.reapedBeforeCancel);
        EXPECT_TRUE(seen.reapedAfterCancel);
        EXPECT_EQ(seen.cancelledTag, 3u);
        EXPECT_NE(seen.cancelledError, 0u);
    }
}

TEST(AsyncQueue, ASubmissionThatFailsLeavesNothingToBeSubmittedLater) {
    uint32_t error = 0;
    if (!platform::QueuedEngine().available) GTEST_SKIP() << "io_uring cannot be set up here";
    TempDir dir;
    const std::string path = dir.MakeImage("data.img", 4096);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::unique_ptr<platform::IIoQueue> queue = platform::MakeUringQueue(fd, -1, 4, {}, error);
    ASSERT_TRUE(queue) << error;
    char buffer[512];
    platform::IoRequest q;
    q.buffer = buffer;
    q.size = sizeof buffer;
    q.tag = 1;
    ASSERT_TRUE(queue->Queue(q));
    // The ring belongs to the thread that made it; another thread's submission is refused (EEXIST).
    const uint32_t refused = std::async(std::launch::async, [&] { return queue->Submit(false); }).get();
    if (refused == 0) {
        ::close(fd);
        GTEST_SKIP() << "this kernel lets any thread submit, so no submission can be made to fail";
    }
    EXPECT_EQ(queue->InFlight(), 0u);
    // The caller counted that request as failed and reuses its tag: only the new request completes.
    ASSERT_TRUE(queue->Queue(q));
    EXPECT_EQ(queue->Submit(true), 0u);
    platform::IoCompletion c;
    ASSERT_TRUE(queue->Reap(c, 1'000'000'000));
    EXPECT_EQ(c.tag, 1u);
    EXPECT_EQ(c.error, 0u);
    EXPECT_FALSE(queue->Reap(c, 50'000'000)) << "the failed request was submitted after all";
    EXPECT_EQ(queue->InFlight(), 0u);
    queue.reset();
    ::close(fd);
}
