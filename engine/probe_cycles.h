#pragma once

#include <cstdint>
#include <vector>

#include "engine/ac_record.h"
#include "engine/discovery_frames.h"

// The owner's account of the numbered probe cycles. Cycles overlap when the
// interval is no longer than the PADO waiting time or a probe is triggered
// inside a wait, and the reports of one probe (sent, answers, wait over)
// can arrive interleaved with those of the next. Each report carries its
// probe's number, and this account keeps the table's counts in step:
//  - an answer is counted only after its probe's send report, and at most
//    once per concentrator and probe;
//  - a concentrator missed a probe only when it answered no probe of that
//    number or later by the end of that probe's wait;
//  - loss counts the probes whose wait is over, never the ones still
//    waiting for an answer.
class ProbeCycles {
  public:
    // A new run of the engine: earlier probes wait no longer, and answers
    // held for them are dropped.
    void Restart();

    // The send report of `probe` (sent or failed) was handled. Gives the
    // answers that waited for it, oldest first.
    std::vector<KtPadoReply> Reported(uint32_t probe);
    // True when `reply` counts now. An answer that overtook its probe's
    // report is kept (and false returned) until Reported gives it back; an
    // answer to a probe whose wait is over is dropped.
    bool Admit(KtPadoReply& reply);
    void Expired(uint32_t probe);

    // True when `reply` is the record's first answer to its probe.
    static bool FirstAnswer(const KtAcRecord& record, const KtPadoReply& reply) {
        return reply.probe > record.lastAnsweredProbe;
    }
    // Whether the record answered nothing from `probe` on.
    static bool Missed(const KtAcRecord& record, uint32_t probe) {
        return record.lastAnsweredProbe < probe;
    }
    // The sent count of a concentrator first heard answering `probe`: that
    // probe and those reported after it.
    int32_t SentSince(uint32_t probe) const;
    // sent - received without the probes still within their wait that the
    // record has not answered yet.
    int32_t Lost(const KtAcRecord& record) const;

  private:
    uint32_t lastReported_ = 0;
    uint32_t lastExpired_ = 0;
    std::vector<KtPadoReply> held_;
};
