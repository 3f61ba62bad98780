#include "engine/ac_record.h"

#include "engine/network_text.h"
#include "engine/number_text.h"

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
    return FormatFixed(record.lastRtt, 3);
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
