#include <gtest/gtest.h>

#include "engine/settings.h"
#include "engine/system_error.h"
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
    for (const char* bad : {"", "4k", " 1", "1 ", "2147483648", "-2147483649", "0x10", "+-1", "-", "1.5", "+"}) {
        EXPECT_FALSE(ParseInt32(bad, v)) << bad;
        EXPECT_EQ(v, 99);
    }
}

TEST(StatisticPeriod, TestTimeChoosesTheIntervalLength) {
    const std::pair<int32_t, int32_t> cases[] = {{0, 1},   {16, 1},   {17, 5},    {30, 5},     {50, 5},
                                                 {51, 10}, {91, 10},  {92, 30},   {259, 60},   {509, 300},
                                                 {-5, 1},  {35791, 10800}, {kMaxTestMinutes, 10800}};
    for (auto [minutes, period] : cases) EXPECT_EQ(StatisticPeriodFor(minutes), period) << minutes;
    EXPECT_EQ(StatisticPeriodFor(INT32_MAX), 21600);  // no overflow in minutes * 120
}

TEST(TestMethodText, WholeAndCaseSensitive) {
    EXPECT_EQ(TestMethodFromText("Random"), 1);
    EXPECT_EQ(TestMethodFromText("Batterfly"), 2);
    EXPECT_EQ(TestMethodFromText("Linear forward"), 3);
    EXPECT_EQ(TestMethodFromText("Linear backward"), 4);
    EXPECT_EQ(TestMethodFromText("random"), 0);
    EXPECT_EQ(TestMethodFromText("Butterfly"), 0);
    EXPECT_EQ(TestMethodFromText("Random "), 0);
}

TEST(ValidateRunSettings, DefaultsAreValid) {
    std::string error;
    const auto s = ValidateRunSettings(RunSettingsText{}, error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->BlockSize, 4096);
    EXPECT_EQ(s->TestMethod, 1);
    EXPECT_EQ(s->TestEndTime, 30 * 60'000);
    EXPECT_EQ(s->StatisticPeriodSeconds, 5);
    EXPECT_EQ(s->ThreadsPerDisk, 2);
    EXPECT_FALSE(s->PauseFixed);
    EXPECT_TRUE(s->IOsPerPortionFixed);
    EXPECT_EQ(s->ReadsPerPortion, 1);
    EXPECT_EQ(s->WritesPerPortion, 0);
}

TEST(ValidateRunSettings, EachBadFieldIsNamedWithItsText) {
    struct Case {
        std::string RunSettingsText::*field;
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {&RunSettingsText::BlockSize, "4k", "'4k' is not a valid integer value for the block size"},
        {&RunSettingsText::BlockSize, "0", "'0' is not allowed for the block size: it must be at least 1 byte"},
        {&RunSettingsText::BlockSize, "-512", "'-512' is not allowed for the block size: it must be at least 1 byte"},
        {&RunSettingsText::TestTime, "ten", "'ten' is not a valid integer value for the test time"},
        {&RunSettingsText::TestTime, "35792", "'35792' is not allowed for the test time: it must be within 35791 minutes"},
        {&RunSettingsText::TestTime, "-35792", "'-35792' is not allowed for the test time: it must be within 35791 minutes"},
        {&RunSettingsText::ThreadCount, "", "'' is not a valid integer value for the thread count"},
        {&RunSettingsText::PauseMs, "-1", "'-1' is not allowed for the pause between portions: it must be 0 or more"},
        {&RunSettingsText::ReadsPerPortion, "x", "'x' is not a valid integer value for the reads per portion"},
        {&RunSettingsText::ReadsPerPortion, "-2", "'-2' is not allowed for the reads per portion: it must be 0 or more"},
        {&RunSettingsText::WritesPerPortion, "-3", "'-3' is not allowed for the writes per portion: it must be 0 or more"},
    };
    for (const Case& c : cases) {
        RunSettingsText text;
        text.*c.field = c.text;
        std::string error;
        EXPECT_FALSE(ValidateRunSettings(text, error)) << c.text;
        EXPECT_EQ(error, c.message);
    }
    RunSettingsText edge;
    edge.TestTime = "35791";
    edge.TestMethod = "whatever";
    edge.ThreadCount = "-4";  // no workers, but a valid setting
    std::string error;
    const auto s = ValidateRunSettings(edge, error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->TestEndTime, 35791LL * 60'000);
    EXPECT_EQ(s->TestMethod, 0);
}

TEST(SystemErrorText, CodeFirstAsUnsignedThenTheSystemText) {
    EXPECT_EQ(SystemErrorText(2), " Error Code = 2 No such file or directory");
    EXPECT_EQ(SystemErrorText(0xFFFFFFFFu), " Error Code = 4294967295 ");  // no text: ends in a blank
    testing_support::FakeDialogs dialogs;
    ShowSystemError(dialogs, "Cannot open /dev/sdz for read", 13);
    ShowSystemError(dialogs, "Cannot write x", "Detail.", 2);
    const auto boxes = dialogs.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "System error Cannot open /dev/sdz for read");
    EXPECT_EQ(boxes[0].body, "  Error Code = 13 Permission denied");
    EXPECT_EQ(boxes[1].body, "Detail.  Error Code = 2 No such file or directory");
}

TEST(ValidateRunSettings, SecondsAndAFixedIntervalForTheCommandLine) {
    RunSettingsText text;
    text.TestSeconds = "90";
    std::string error;
    SettingField field = SettingField::BlockSize;
    auto s = ValidateRunSettings(text, error, &field);
    ASSERT_TRUE(s);
    EXPECT_EQ(field, SettingField::None);
    EXPECT_EQ(s->TestEndTime, 90'000);
    EXPECT_EQ(s->StatisticPeriodSeconds, 1);  // two minutes' rule
    text.StatisticPeriod = "7";
    s = ValidateRunSettings(text, error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->StatisticPeriodSeconds, 7);

    text.TestSeconds = "3600";
    text.StatisticPeriod = "3";
    EXPECT_FALSE(ValidateRunSettings(text, error, &field));
    EXPECT_EQ(field, SettingField::StatisticPeriod);
    EXPECT_EQ(error, "'3' is not allowed for the statistics interval: a 3600-second test needs at least 4 s to "
                     "stay within 1000 intervals");
    text.StatisticPeriod = "4";
    EXPECT_TRUE(ValidateRunSettings(text, error));
    text.StatisticPeriod = "0";
    EXPECT_FALSE(ValidateRunSettings(text, error));
    text.StatisticPeriod.clear();
    text.TestSeconds = "-1";
    EXPECT_FALSE(ValidateRunSettings(text, error, &field));
    EXPECT_EQ(field, SettingField::TestSeconds);
    text.TestSeconds = "10";
    text.ReadsPerPortion = "many";
    EXPECT_FALSE(ValidateRunSettings(text, error, &field));
    EXPECT_EQ(field, SettingField::ReadsPerPortion);
}
