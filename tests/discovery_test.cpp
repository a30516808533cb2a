#include <gtest/gtest.h>

#include "engine/engine.h"
#include "tests/test_support.h"

using namespace engine;
using testing_support::FakeDialogs;
using testing_support::FakeVolumeSystem;

namespace {

struct Discovery : ::testing::Test {
    std::shared_ptr<FakeVolumeSystem> sys = std::make_shared<FakeVolumeSystem>();
    FakeDialogs dialogs;

    FakeVolumeSystem::Volume& Vol(int i) {
        sys->volumes[i].present = true;
        return sys->volumes[i];
    }
};

}  // namespace

TEST_F(Discovery, SizeSourcesInOrderWithTheirResultCodes) {
    Vol(2).deviceSize = 1 << 20;                          // device answers
    Vol(3) = {true, false, 2, true, 0, true, 5'000'000};  // device says 0: file system answers
    Vol(4) = {true, false, 2, false, 0, true, 0};         // file system answers 0: present, size 0
    Vol(5) = {true, false, 2, false, 0, false, 0};        // neither answers
    Vol(6) = {true, true, 5};                             // cannot be opened
    Vol(7) = {true, false, 2, false, 123, true, 77};      // device refuses: file system's total
    Engine eng(sys, dialogs, 16);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(2), 1 << 20);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(3), 5'000'000);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(4), 0);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(5), -3);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(6), -2);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(7), 77);
    EXPECT_EQ(eng.Volumes().QueryVolumeSize(0), -2);  // no device at all
}

TEST_F(Discovery, EnumeratesInLetterOrderAndMakesRecordsOnlyForPresentVolumes) {
    Vol(4).deviceSize = 4096;
    Vol(2).deviceSize = 1'048'575;
    Vol(3) = {true, false, 2, false, 0, true, 0};  // size 0 counts as present
    Vol(5) = {true, false, 2, false, 0, false, 0};
    Vol(6) = {true, true, 5};
    Engine eng(sys, dialogs, 16);
    EXPECT_EQ(eng.Volumes().Count(), 0);
    EXPECT_FALSE(eng.Volumes().Present(2));  // nothing is present before the probe
    std::vector<int> tabs;
    eng.Volumes().EnumerateVolumes([&](int i) {
        // The record and the size exist when the tab is built.
        EXPECT_NE(eng.Volume(i), nullptr);
        EXPECT_GE(eng.Volumes().Size(i), 0);
        tabs.push_back(i);
    });
    EXPECT_EQ(eng.Volumes().Count(), 26);
    EXPECT_EQ(tabs, (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(eng.Volumes().Size(2), 1'048'575);
    EXPECT_EQ(eng.Volumes().Size(3), 0);
    for (int i : {0, 1, 5, 6, 7, 25}) {
        EXPECT_EQ(eng.Volumes().Size(i), -1) << i;
        EXPECT_EQ(eng.Volume(i), nullptr) << i;
        EXPECT_FALSE(eng.Volumes().Present(i));
    }
    // Records start zero-filled.
    const VolumeStats& v = *eng.Volume(2);
    EXPECT_EQ(v.CurInterval, 0);
    EXPECT_EQ(v.LatencyHistogram[0], 0u);
    EXPECT_EQ(eng.Log().Count(), 0u);
    EXPECT_FALSE(eng.Running());
    EXPECT_TRUE(dialogs.Boxes().empty());  // discovery never shows a message
}

TEST_F(Discovery, NoVolumeAtAll) {
    Engine eng(sys, dialogs, 16);
    int tabs = 0;
    eng.Volumes().EnumerateVolumes([&](int) { ++tabs; });
    EXPECT_EQ(tabs, 0);
    for (int i = 0; i < kDiskCount; ++i) EXPECT_FALSE(eng.Volumes().Present(i));
}
