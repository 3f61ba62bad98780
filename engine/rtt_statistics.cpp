#include "engine/rtt_statistics.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/ac_record.h"
#include "engine/number_text.h"

RttStatistics ComputeRttStatistics(const KtRttHistory& history) {
    std::vector<double> answered;
    answered.reserve(history.Count());
    for (uint32_t i = 0; i < history.Count(); ++i) {
        const double value = history.ValueAt(i);
        if (value >= 0.0) answered.push_back(value);
    }
    RttStatistics figures;
    if (answered.empty()) return figures;
    figures.samples = static_cast<uint32_t>(answered.size());
    double sum = 0.0;
    double steps = 0.0;
    for (size_t i = 0; i < answered.size(); ++i) {
        sum += answered[i];
        if (i > 0) steps += std::fabs(answered[i] - answered[i - 1]);
    }
    const double n = static_cast<double>(answered.size());
    figures.mean = sum / n;
    figures.jitter = answered.size() > 1 ? steps / (n - 1.0) : 0.0;
    std::sort(answered.begin(), answered.end());
    figures.min = answered.front();
    figures.max = answered.back();
    // Nearest rank: the smallest sample with at least 95 % at or below it.
    const auto rank = static_cast<size_t>(std::ceil(0.95 * n));
    figures.p95 = answered[std::max<size_t>(rank, 1) - 1];
    return figures;
}

std::array<std::string, kRttStatisticsColumnCount> FormatRttStatistics(
    const RttStatistics& figures) {
    std::array<std::string, kRttStatisticsColumnCount> texts;
    const double values[kRttStatisticsColumnCount] = {figures.min, figures.mean, figures.max,
                                                      figures.jitter, figures.p95};
    for (size_t i = 0; i < texts.size(); ++i) {
        if (figures.samples == 0) {
            texts[i] = "N/A";
            continue;
        }
        texts[i] = FormatFixed(values[i], 3);
    }
    return texts;
}

void RttHistogram::Observe(double ms) {
    const auto bound = std::lower_bound(kBoundsMs.begin(), kBoundsMs.end(), ms);
    ++buckets_[static_cast<size_t>(bound - kBoundsMs.begin())];
    ++count_;
    sumMs_ += ms;
}

uint64_t RttHistogram::CumulativeCount(size_t i) const {
    uint64_t total = 0;
    for (size_t b = 0; b <= i && b < buckets_.size(); ++b) total += buckets_[b];
    return total;
}
