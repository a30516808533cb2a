#include "stats/format.h"

#include <gtest/gtest.h>

using namespace stats;

namespace {
const Separators kComma{",", "."};
const Separators kEuro{".", ","};
}  // namespace

TEST(FormatMilliseconds, DurationsFromZeroToTheLargestCount) {
    EXPECT_EQ(FormatMilliseconds(0), "00:00:00.000");
    EXPECT_EQ(FormatMilliseconds(93'784'005), "1 dey 02:03:04.005");
    EXPECT_EQ(FormatMilliseconds(4'294'967'295u), "49 dey 17:02:47.295");
    EXPECT_EQ(FormatMilliseconds(59'999), "00:00:59.999");
    // The wide form continues past 32 bits instead of wrapping.
    EXPECT_EQ(FormatMilliseconds64(4'294'967'296ull), "49 dey 17:02:47.296");
    EXPECT_EQ(FormatMilliseconds64(86'400'000ull * 1000 + 1), "1000 dey 00:00:00.001");
}

TEST(FormatSeconds, DaysAppearOnlyFromOneDay) {
    EXPECT_EQ(FormatSeconds(0), "00:00:00");
    EXPECT_EQ(FormatSeconds(86'399), "23:59:59");
    EXPECT_EQ(FormatSeconds(86'400), "1 dey 00:00:00");
    EXPECT_EQ(FormatSeconds(864'000), "10 dey 00:00:00");
    EXPECT_EQ(FormatSeconds(4'294'967), "49 dey 17:02:47");
}

TEST(PadNumber, ZeroFillSignAndOverflowStars) {
    EXPECT_EQ(PadNumber(5, 2), "05");
    EXPECT_EQ(PadNumber(-5, 3), "-05");
    EXPECT_EQ(PadNumber(-5, 2), "-5");
    EXPECT_EQ(PadNumber(0, 3), "000");
    EXPECT_EQ(PadNumber(123, 2), "**");
    EXPECT_EQ(PadNumber(-15, 2), "**");
    EXPECT_EQ(PadNumber(7, 0), "");
    EXPECT_EQ(PadNumber(7, -3), "");
    EXPECT_EQ(PadNumber(INT32_MIN, 12), "-02147483648");
}

TEST(FormatGrouped, RoundingGroupingAndSeparators) {
    EXPECT_EQ(FormatCount(0, kComma), "0");
    EXPECT_EQ(FormatCount(1'048'576, kComma), "1,048,576");
    EXPECT_EQ(FormatCount(-1'234'567, kComma), "-1,234,567");
    EXPECT_EQ(FormatCount(999, kComma), "999");
    EXPECT_EQ(FormatCount(1000, kEuro), "1.000");
    EXPECT_EQ(FormatGrouped(1234.6L, 14, 0, kComma), "1,235");
    EXPECT_EQ(FormatGrouped(1.2345L, 16, 2, kComma), "1.23");
    EXPECT_EQ(FormatGrouped(1.2345L, 16, 2, kEuro), "1,23");
    EXPECT_EQ(FormatGrouped(0, 14, 2, kComma), "0.00");
    EXPECT_EQ(FormatGrouped(2.5L, 14, 0, kComma), "3");  // half away from zero
    EXPECT_EQ(FormatGrouped(-2.5L, 14, 0, kComma), "-3");
    EXPECT_EQ(FormatGrouped(0.005L, 14, 2, kComma), "0.01");
    EXPECT_EQ(FormatGrouped(-0.001L, 14, 2, kComma), "0.00");  // no "-0.00"
    EXPECT_EQ(FormatGrouped(999.999L, 14, 2, kComma), "1,000.00");
    // More integer digits than significant digits: rounded to 14 digits, still written in full.
    EXPECT_EQ(FormatCount(INT64_MAX, kComma), "9,223,372,036,854,800,000");
    EXPECT_EQ(FormatGrouped(123'456'789'012.345L, 14, 2, kComma), "123,456,789,012.35");
    EXPECT_EQ(FormatGrouped(1'234'567'890'123.45L, 14, 2, kComma), "1,234,567,890,123.50");
}

TEST(FormatGrouped, UserSeparatorsFallBackToCommaAndPointWithoutGrouping) {
    const Separators& sep = UserSeparators();
    EXPECT_FALSE(sep.thousands.empty());
    EXPECT_FALSE(sep.decimal.empty());
}
