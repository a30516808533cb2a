#include "engine/settings.h"

#include <gtest/gtest.h>

#include "engine/system_error.h"
#include "platform/error_text.h"
#include "tests/test_support.h"

using namespace engine;

TEST(ParseInt32, DecimalIntegersInRangeOnly) {
    int32_t v = 0;
    EXPECT_TRUE(ParseInt32("4096", v));
    EXPECT_EQ(v, 4096);
    EXPECT_TRUE(ParseInt32("-7", v));
    EXPECT_EQ(v, -7);
    EXPECT_TRUE(ParseInt32("+7", v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(ParseInt32("2147483647", v));
    EXPECT_TRUE(ParseInt32("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    v = 99;
    for (const char* bad :
         {"", "4k", " 1", "1 ", "2147483648", "-2147483649", "0x10", "+-1", "-", "1.5", "+"}) {
        EXPECT_FALSE(ParseInt32(bad, v)) << bad;
        EXPECT_EQ(v, 99);
    }
}

TEST(StatisticPeriod, TestTimeChoosesTheIntervalLength) {
    const std::pair<int32_t, int32_t> cases[] = {{0, 1},
                                                 {16, 1},
                                                 {17, 5},
                                                 {30, 5},
                                                 {50, 5},
                                                 {51, 10},
                                                 {91, 10},
                                                 {92, 30},
                                                 {259, 60},
                                                 {509, 300},
                                                 {-5, 1},
                                                 {35791, 10800},
                                                 {kMaxTestMinutes, 10800}};
    for (auto [minutes, period] : cases) EXPECT_EQ(StatisticPeriodFor(minutes), period) << minutes;
    EXPECT_EQ(StatisticPeriodFor(INT32_MAX), 21600);  // no overflow in minutes * 120
}

TEST(Validate, DefaultsRunAndEachRuleNamesItsFieldValueAndLimit) {
    EXPECT_FALSE(Validate(RunSettings{}));
    using Why = Refusal::Why;
    struct Case {
        void (*change)(RunSettings&);
        SettingField field;
        Why why;
        std::string value;
        int64_t limit;
    };
    const Case cases[] = {
        {[](RunSettings& s) { s.blockSize = 0; }, SettingField::BlockSize, Why::BelowMinimum, "0", 1},
        {[](RunSettings& s) { s.blockSize = -512; }, SettingField::BlockSize, Why::BelowMinimum, "-512", 1},
        {[](RunSettings& s) { s.testMs = kMaxTestMs + 1; }, SettingField::TestTime, Why::OutOfRange,
         "2147460001", kMaxTestMs},
        {[](RunSettings& s) { s.testMs = -kMaxTestMs - 60'000; }, SettingField::TestTime, Why::OutOfRange,
         "-2147520000", kMaxTestMs},
        {[](RunSettings& s) { s.pauseMs = -1; }, SettingField::PauseMs, Why::BelowMinimum, "-1", 0},
        {[](RunSettings& s) { s.readsPerPortion = -2; }, SettingField::ReadsPerPortion, Why::BelowMinimum,
         "-2", 0},
        {[](RunSettings& s) { s.writesPerPortion = -3; }, SettingField::WritesPerPortion, Why::BelowMinimum,
         "-3", 0},
        {[](RunSettings& s) { s.periodSeconds = -1; }, SettingField::Period, Why::BelowMinimum, "-1", 1},
        {[](RunSettings& s) {
             s.testMs = 3'600'000;
             s.periodSeconds = 3;
         },
         SettingField::Period, Why::TooManyIntervals, "3", 4},
    };
    for (const Case& c : cases) {
        RunSettings s;
        c.change(s);
        const Refusal r = Validate(s);
        EXPECT_EQ(r.why, c.why) << c.value;
        EXPECT_EQ(r.field, c.field) << c.value;
        EXPECT_EQ(r.value, c.value);
        EXPECT_EQ(r.limit, c.limit) << c.value;
    }
    // The edges that still run: the longest test time, no workers, no method named.
    RunSettings edge;
    edge.testMs = kMaxTestMs;
    edge.threadsPerVolume = -4;
    edge.method = Method::None;
    EXPECT_FALSE(Validate(edge));
    edge.testMs = 3'600'000;
    edge.periodSeconds = 4;
    EXPECT_FALSE(Validate(edge));
}

TEST(StatisticPeriod, GivenOrFromTheTestTimeInWholeMinutes) {
    RunSettings s;
    EXPECT_EQ(StatisticPeriodOf(s), 5);  // 30 minutes
    s.testMs = 90'000;                   // rounds up to 2 minutes
    EXPECT_EQ(StatisticPeriodOf(s), 1);
    s.testMs = 16 * 60'000 + 1;  // 17 minutes
    EXPECT_EQ(StatisticPeriodOf(s), 5);
    s.testMs = -3 * 60'000;
    EXPECT_EQ(StatisticPeriodOf(s), 1);
    s.periodSeconds = 7;
    EXPECT_EQ(StatisticPeriodOf(s), 7);
}

TEST(SystemErrorText, CodeFirstAsUnsignedThenTheSystemText) {
    // The system's own words for the code, without the line break the system ends them with.
    std::string text2 = platform::SystemErrorDescription(2), text13 = platform::SystemErrorDescription(13);
    while (!text2.empty() && (text2.back() == '\n' || text2.back() == '\r')) text2.pop_back();
    while (!text13.empty() && (text13.back() == '\n' || text13.back() == '\r')) text13.pop_back();
    ASSERT_FALSE(text2.empty());
#ifdef __linux__
    EXPECT_EQ(text2, "No such file or directory");
#endif
    EXPECT_EQ(SystemErrorText(2), " Error Code = 2 " + text2);
    EXPECT_EQ(SystemErrorText(0xFFFFFFFFu), " Error Code = 4294967295 ");  // no text: ends in a blank
    // A worker's failure becomes the window's box through the default of the dialogs' interface.
    testing_support::FakeDialogs dialogs;
    IDialogs& asEngine = dialogs;
    asEngine.WorkerFailed({WorkerFailure::Kind::Open, 25, 1, "/dev/sdz", false, 13, {}});
    asEngine.WorkerFailed({WorkerFailure::Kind::RegisterBuffers, 25, 1, "x", true, 2, "Detail."});
    const auto boxes = dialogs.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "System error Cannot open /dev/sdz for read");
    EXPECT_EQ(boxes[0].body, "  Error Code = 13 " + text13);
    EXPECT_EQ(boxes[1].caption, "System error Cannot register I/O buffers for x");
    EXPECT_EQ(boxes[1].body, "Detail.  Error Code = 2 " + text2);
}
