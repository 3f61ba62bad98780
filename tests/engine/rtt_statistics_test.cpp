#include "engine/rtt_statistics.h"

#include <gtest/gtest.h>

#include "engine/ac_record.h"

TEST(RttStatistics, NothingAnsweredGivesZeroSamples) {
    KtRttHistory history;
    EXPECT_EQ(ComputeRttStatistics(history).samples, 0u);
    history.Push(-1.0);
    EXPECT_EQ(ComputeRttStatistics(history).samples, 0u);
}

TEST(RttStatistics, FiguresLeaveMissedCyclesOutAndCoverOnlyTheHistory) {
    KtRttHistory history;
    // 1..20 ms with a miss between 10 and 11: p95 of twenty is the 19th.
    for (int i = 1; i <= 20; ++i) {
        history.Push(i);
        if (i == 10) history.Push(-1.0);
    }
    RttStatistics figures = ComputeRttStatistics(history);
    EXPECT_EQ(figures.samples, 20u);
    EXPECT_EQ(figures.min, 1.0);
    EXPECT_EQ(figures.max, 20.0);
    EXPECT_DOUBLE_EQ(figures.mean, 10.5);
    EXPECT_DOUBLE_EQ(figures.jitter, 1.0);  // the miss does not break the steps
    EXPECT_EQ(figures.p95, 19.0);

    // Alternating 2 and 4: jitter 2. Older samples leave the ring.
    for (int i = 0; i < 1023; ++i) history.Push(i % 2 == 0 ? 2.0 : 4.0);
    figures = ComputeRttStatistics(history);
    EXPECT_EQ(figures.samples, 1023u);
    EXPECT_EQ(figures.min, 2.0);
    EXPECT_EQ(figures.max, 4.0);
    EXPECT_DOUBLE_EQ(figures.jitter, 2.0);
    EXPECT_EQ(figures.p95, 4.0);
}

TEST(RttHistogram, CountsCumulativelyWithBoundsInclusive) {
    RttHistogram histogram;
    for (double ms : {0.05, 0.1, 0.7, 12.0, 999.0, 5000.0}) histogram.Observe(ms);
    EXPECT_EQ(histogram.Count(), 6u);
    EXPECT_DOUBLE_EQ(histogram.SumMs(), 0.05 + 0.1 + 0.7 + 12.0 + 999.0 + 5000.0);
    EXPECT_EQ(histogram.CumulativeCount(0), 2u);  // <= 0.1
    EXPECT_EQ(histogram.CumulativeCount(3), 3u);  // <= 1
    EXPECT_EQ(histogram.CumulativeCount(7), 4u);  // <= 25
    EXPECT_EQ(histogram.CumulativeCount(RttHistogram::kBoundsMs.size() - 1), 5u);
    EXPECT_EQ(histogram.CumulativeCount(RttHistogram::kBoundsMs.size()), 6u);
}
