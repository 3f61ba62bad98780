#include "engine/ac_record.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "comma_locale.h"
#include "engine/ac_log_file.h"
#include "engine/rtt_statistics.h"

TEST(RttHistory, StartsEmpty) {
    KtRttHistory history;
    EXPECT_EQ(history.Count(), 0u);
}

TEST(RttHistory, KeepsValuesOldestFirst) {
    KtRttHistory history;
    history.Push(1.5);
    history.Push(-1.0);
    history.Push(3.25);
    ASSERT_EQ(history.Count(), 3u);
    EXPECT_EQ(history.ValueAt(0), 1.5);
    EXPECT_EQ(history.ValueAt(1), -1.0);
    EXPECT_EQ(history.ValueAt(2), 3.25);
}

TEST(RttHistory, HoldsAtMostTheLatest1023Values) {
    KtRttHistory history;
    for (int i = 0; i < 1023; ++i) history.Push(i);
    EXPECT_EQ(history.Count(), 1023u);
    EXPECT_EQ(history.ValueAt(0), 0.0);
    history.Push(1023);
    EXPECT_EQ(history.Count(), 1023u);
    EXPECT_EQ(history.ValueAt(0), 1.0);
    EXPECT_EQ(history.ValueAt(1022), 1023.0);
    for (int i = 1024; i < 5000; ++i) history.Push(i);
    EXPECT_EQ(history.Count(), 1023u);
    EXPECT_EQ(history.ValueAt(0), 5000.0 - 1023.0);
    EXPECT_EQ(history.ValueAt(1022), 4999.0);
}

TEST(AcRow, ShowsCountersAndRttWithThreeDecimals) {
    KtAcRecord record;
    record.mac = {0x00, 0x1b, 0x21, 0x0a, 0x4c, 0x5e};
    record.acName = "access1";
    record.serviceName = "internet";
    record.lastRtt = 12.3456;
    EXPECT_EQ(FormatAcRow(record), (AcRowTexts{"UP", "00:1B:21:0A:4C:5E", "access1", "internet",
                                               "12.346", "1", "1", "0"}));
    record.answered = false;
    record.down = true;
    EXPECT_EQ(FormatAcRow(record)[0], "DOWN");
    EXPECT_EQ(FormatAcRow(record)[4], "N/A");
    EXPECT_EQ(AcRowIcon(record), 1);
}

TEST(AcRow, ShowsNamesOnlyInTheirEscapedForm) {
    KtAcRecord record;
    record.acName = std::string("a\x1b[31m\0b", 8);
    record.serviceName = "\xe2\x80\x8f";  // right-to-left mark
    const AcRowTexts row = FormatAcRow(record);
    EXPECT_EQ(row[2], "a\\x1b[31m\\x00b");
    EXPECT_EQ(row[3], "\\u200f");
}

TEST(AcRecord, IdentityIsTheMacPlusTheRawAcName) {
    KtAcRecord record;
    record.mac = {1, 2, 3, 4, 5, 6};
    record.acName = std::string("ac\0x", 4);
    EXPECT_TRUE(record.SameAc({1, 2, 3, 4, 5, 6}, std::string_view("ac\0x", 4)));
    EXPECT_FALSE(record.SameAc({1, 2, 3, 4, 5, 6}, std::string_view("ac\0y", 4)));
    EXPECT_FALSE(record.SameAc({1, 2, 3, 4, 5, 6}, "ac"));
    EXPECT_FALSE(record.SameAc({1, 2, 3, 4, 5, 7}, std::string_view("ac\0x", 4)));
}

TEST(AcNumbers, UseADotWhateverTheLocaleSays) {
    const CommaLocaleScope comma;
    if (!CommaLocale::Get().ok()) GTEST_SKIP() << CommaLocale::Get().error();
    ASSERT_TRUE(comma.ok());
    // The locale is in force: printf itself now writes a comma.
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.3f", 3.669);
    ASSERT_STREQ(printed, "3,669");

    KtAcRecord record;
    record.lastRtt = 3.6694;
    EXPECT_EQ(FormatAcRow(record)[4], "3.669");
    EXPECT_EQ(FormatAcReplyLine("[2013.03.05 09:15:02] ", 60, 0.282),
              "[2013.03.05 09:15:02] PADO reply: len 60 bytes, time 0.282 ms\n");
    for (double value : {1.25, 2.5, 1234567.5}) record.PushSample(value);
    EXPECT_EQ(FormatRttStatistics(ComputeRttStatistics(record.history)),
              (std::array<std::string, kRttStatisticsColumnCount>{
                  "1.250", "411523.750", "1234567.500", "617283.125", "1234567.500"}));
}
