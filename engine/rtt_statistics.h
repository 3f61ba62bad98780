#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class KtRttHistory;

// Figures over the answered samples of a round-trip history (the -1 of an
// unanswered cycle is left out), in milliseconds. Jitter is the mean
// absolute difference between consecutive answered samples; p95 is the
// nearest-rank 95th percentile. All zero when nothing was answered.
struct RttStatistics {
    uint32_t samples = 0;
    double min = 0.0;
    double mean = 0.0;
    double max = 0.0;
    double jitter = 0.0;
    double p95 = 0.0;
};

RttStatistics ComputeRttStatistics(const KtRttHistory& history);

// Min, mean, max, jitter and p95 with three decimals, or "N/A" each when
// nothing was answered.
constexpr size_t kRttStatisticsColumnCount = 5;
std::array<std::string, kRttStatisticsColumnCount> FormatRttStatistics(
    const RttStatistics& figures);

// Every answered round trip of a concentrator since it was listed, counted
// into fixed buckets: the history keeps only the latest 1023 samples, a
// histogram for export must never lose one.
class RttHistogram {
  public:
    // Upper bounds of the buckets, milliseconds; a last bucket takes the rest.
    static constexpr std::array<double, 13> kBoundsMs = {0.1, 0.25, 0.5, 1,   2.5, 5,   10,
                                                         25,  50,   100, 250, 500, 1000};

    void Observe(double ms);
    // Samples at or below kBoundsMs[i] (i < kBoundsMs.size()), or all of
    // them (i == kBoundsMs.size()).
    uint64_t CumulativeCount(size_t i) const;
    uint64_t Count() const { return count_; }
    double SumMs() const { return sumMs_; }

  private:
    std::array<uint64_t, kBoundsMs.size() + 1> buckets_{};
    uint64_t count_ = 0;
    double sumMs_ = 0.0;
};
