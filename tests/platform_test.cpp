#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/file.h"
#include "platform/volume_device.h"
#include "platform/volume_map.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using testing_support::TempDir;

TEST(VolumeMap, NaturalOrderOfKernelNames) {
    const std::vector<std::string> ordered = {"loop0", "loop1", "loop2", "loop10", "nvme0n1p1", "nvme0n1p2",
                                              "nvme0n1p10", "sda1", "sda2", "sdb", "vda"};
    for (size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_TRUE(platform::NaturalLess(ordered[i], ordered[i + 1])) << ordered[i] << " < " << ordered[i + 1];
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
    EXPECT_TRUE(dev->WriteAt(buf, 4096, 8192));
    std::fill(buf, buf + 4096, 0);
    EXPECT_TRUE(dev->ReadAt(buf, 4096, 8192));
    EXPECT_EQ(buf[0], 0x5A);
    EXPECT_EQ(buf[4095], 0x5A);
    EXPECT_FALSE(dev->ReadAt(buf, 4096, -4096));  // a negative offset fails, as block -1 must
    dev->FreeBuffer(buf);
    dev.reset();

    auto ro = sys->OpenDevice(2, false, error);
    ASSERT_TRUE(ro);
    unsigned char* b = static_cast<unsigned char*>(ro->AllocateBuffer(4096));
    EXPECT_FALSE(ro->WriteAt(b, 4096, 0));  // read-only handle refuses writes
    ro->FreeBuffer(b);
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

TEST(ReplaceFileContents, WritesWholeFileAndKeepsTheOldOneOnFailure) {
    TempDir dir;
    const std::string path = (dir.path() / "out.dat").string();
    uint32_t error = 0;
    ASSERT_TRUE(platform::ReplaceFileContents(path, "abc", 3, error));
    ASSERT_TRUE(platform::ReplaceFileContents(path, "xy", 2, error));
    EXPECT_EQ(fs::file_size(path), 2u);
    const std::string missingDir = (dir.path() / "nope" / "out.dat").string();
    EXPECT_FALSE(platform::ReplaceFileContents(missingDir, "abc", 3, error));
    EXPECT_EQ(error, static_cast<uint32_t>(ENOENT));
    // Only out.dat remains: no temporary file is left behind.
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
}

namespace {

// A loop device over an image file, for the kernel's own block-device rules; empty when none can be made.
struct LoopDevice {
    std::string path;
    explicit LoopDevice(const std::string& image) {
        if (geteuid() != 0) return;
        const std::string cmd = "losetup -f --show '" + image + "' 2>/dev/null";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[256] = {};
            if (fgets(buf, sizeof buf, p)) path = std::string(buf, strcspn(buf, "\n"));
            pclose(p);
        }
    }
    ~LoopDevice() {
        if (!path.empty()) std::system(("losetup -d " + path + " 2>/dev/null").c_str());
    }
};

}  // namespace

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
