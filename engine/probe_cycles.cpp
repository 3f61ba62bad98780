#include "engine/probe_cycles.h"

#include <algorithm>
#include <utility>

void ProbeCycles::Restart() {
    lastExpired_ = lastReported_;
    held_.clear();
}

std::vector<KtPadoReply> ProbeCycles::Reported(uint32_t probe) {
    lastReported_ = std::max(lastReported_, probe);
    std::vector<KtPadoReply> released;
    // Answers are held in capture order, so the released ones stay in it.
    auto firstKept = std::stable_partition(
        held_.begin(), held_.end(), [&](const KtPadoReply& r) { return r.probe <= lastReported_; });
    std::move(held_.begin(), firstKept, std::back_inserter(released));
    held_.erase(held_.begin(), firstKept);
    return released;
}

bool ProbeCycles::Admit(KtPadoReply& reply) {
    if (reply.probe <= lastExpired_) return false;
    if (reply.probe > lastReported_) {
        held_.push_back(std::move(reply));
        return false;
    }
    return true;
}

void ProbeCycles::Expired(uint32_t probe) {
    lastExpired_ = std::max(lastExpired_, probe);
}

int32_t ProbeCycles::SentSince(uint32_t probe) const {
    return lastReported_ >= probe ? static_cast<int32_t>(lastReported_ - probe + 1) : 1;
}

int32_t ProbeCycles::Lost(const KtAcRecord& record) const {
    const uint32_t settled = std::max(lastExpired_, record.lastAnsweredProbe);
    const int32_t waiting =
        lastReported_ > settled ? static_cast<int32_t>(lastReported_ - settled) : 0;
    return std::max(record.sent - record.received - waiting, 0);
}
