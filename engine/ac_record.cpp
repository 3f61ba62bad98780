#include "engine/ac_record.h"

#include <cstdio>

#include "engine/network_text.h"

void KtRttHistory::Push(double value) {
    values_[head_] = value;
    head_ = (head_ + 1) & kMask;
    if (head_ == tail_) tail_ = (tail_ + 1) & kMask;
}

uint32_t KtRttHistory::Count() const {
    if (head_ == tail_) return 0;
    if (head_ > tail_) return head_ - tail_;
    return kMask;
}

double KtRttHistory::ValueAt(uint32_t i) const {
    return values_[(tail_ + i) & kMask];
}

std::string FormatRttText(const KtAcRecord& record) {
    if (!record.answered) return "N/A";
    const int size = std::snprintf(nullptr, 0, "%.3f", record.lastRtt);
    if (size <= 0) return {};
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.3f", record.lastRtt);
    text.pop_back();
    return text;
}

AcRowTexts FormatAcRow(const KtAcRecord& record) {
    return {record.down ? "DOWN" : "UP",
            FormatMacText(record.mac),
            DisplayNetworkText(record.acName),
            DisplayNetworkText(record.serviceName),
            FormatRttText(record),
            std::to_string(record.sent),
            std::to_string(record.received),
            std::to_string(record.lost)};
}
