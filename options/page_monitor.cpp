#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>

#include "options/number_spin.h"
#include "options/options_pages.h"
#include "text/text_ids.h"

namespace {

// The PADO wait that a one-second interval still leaves room for.
constexpr int kWaitLimitAtOneSecond = 900;

}  // namespace

KtNumberSpin* COptionsFormPgPopWndDlg::AddSpin(QGridLayout* grid, int row, int labelId,
                                               int32_t id) {
    const KtSettingRange range = SettingRange(id).value_or(KtSettingRange{0, 0});
    auto* label = new QLabel(OptionText(labelId), this);
    auto* spin = new KtNumberSpin(range.first, range.second, this);
    label->setBuddy(spin);
    NameControl(spin, label->text());
    spin->SetPosition(std::clamp(GetInt(id), range.first, range.second));
    spin->SetOnStepped([this, id](int value) { SetInt(id, value); });
    spin->SetOnStored([this, id](int value) { SetInt(id, value); });
    grid->addWidget(label, row, 0);
    grid->addWidget(spin, row, 1);
    return spin;
}

COptionsFormPgPopWndDlg::COptionsFormPgPopWndDlg(KtPropertyEditor& editor,
                                                 const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    AddSectionLabel(this, layout, TextId::kMonitorPageTimings);
    auto* timings = new QGridLayout;
    interval_ = AddSpin(timings, 0, TextId::kMonitorPagePadiInterval, kPropMonPADISendInterval);
    wait_ = AddSpin(timings, 1, TextId::kMonitorPagePadoWait, kPropMonPADOWaitTime);
    layout->addLayout(timings);
    AddSectionLabel(this, layout, TextId::kMonitorPageEvents);
    auto* events = new QGridLayout;
    downAfter_ = AddSpin(events, 0, TextId::kMonitorPageDownAfter, kPropMonStateDownAfterUnanswer);
    layout->addLayout(events);
    AddSettingCheck(this, layout, TextId::kMonitorPageBalloons, kPropMonTrayShowTooltips);
    AddSettingCheck(this, layout, TextId::kMonitorPageTrayState, kPropMonTrayShowACState);
    AddSettingCheck(this, layout, TextId::kMonitorPageWaitForUser, kPropMonEvtWaitUserAction);
    layout->addStretch(1);

    // The interval steps by ten seconds (1 goes to 10); stepping down to one
    // second brings a wait of 900 ms or more down to 900.
    interval_->SetStepRule([this](int position, int step) {
        const int taken = step > 0 ? (position == 1 ? 9 : 10) : -10;
        if (position == 10 && taken == -10 && wait_->Position() >= kWaitLimitAtOneSecond) {
            wait_->SetPosition(kWaitLimitAtOneSecond);
            SetInt(kPropMonPADOWaitTime, kWaitLimitAtOneSecond);
        }
        return taken;
    });
    // The wait steps by 100 ms and cannot pass 900 ms with a one-second interval.
    wait_->SetStepRule([this](int position, int step) {
        if (interval_->Position() == 1 && position >= kWaitLimitAtOneSecond && step > 0) return 0;
        return step * 100;
    });
}

void COptionsFormPgPopWndDlg::StoreEdits() {
    interval_->StoreIfModified();
    wait_->StoreIfModified();
    downAfter_->StoreIfModified();
}
