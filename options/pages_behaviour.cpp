#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cctype>

#include "engine/capture_protocol.h"
#include "options/number_spin.h"
#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/text_ids.h"
#include "text/text_table.h"

namespace {

// A check box that stores 1 when checked and 0 when not, on every click.
QCheckBox* AddCheck(KtOptionsPage* page, QVBoxLayout* layout, int textId, int32_t id) {
    auto* box = new QCheckBox(OptionText(textId), page);
    NameControl(box, box->text());
    box->setChecked(page->GetInt(id) != 0);
    // toggled, not clicked: a screen reader's toggle action and the space bar
    // change the box without a click, and the change must still be stored.
    QObject::connect(box, &QCheckBox::toggled, page,
                     [page, id](bool checked) { page->SetInt(id, checked ? 1 : 0); });
    layout->addWidget(box);
    return box;
}

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
    AddCheck(this, layout, TextId::kMonitorPageBalloons, kPropMonTrayShowTooltips);
    AddCheck(this, layout, TextId::kMonitorPageTrayState, kPropMonTrayShowACState);
    AddCheck(this, layout, TextId::kMonitorPageWaitForUser, kPropMonEvtWaitUserAction);
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

COptionsFormPgLogs::COptionsFormPgLogs(KtPropertyEditor& editor, const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    AddSectionLabel(this, layout, TextId::kLogsLogging);
    AddCheck(this, layout, TextId::kLogsPadiFromNodes, kPropLogPADINodesEnabled);
    AddCheck(this, layout, TextId::kLogsPadiFromInstances, kPropLogPADILinewatchEnabled);
    AddCheck(this, layout, TextId::kLogsGeneralFile, kPropLogGenWriteToFile);
    AddCheck(this, layout, TextId::kLogsAcFile, kPropLogACWriteToFile);
    AddSectionLabel(this, layout, TextId::kLogsFiles);
    auto* label = new QLabel(OptionText(TextId::kLogsFolder), this);
    layout->addWidget(label);
    auto* row = new QHBoxLayout;
    // Shown as stored: placeholders such as %APPDATA% stay unexpanded.
    folder_ = new QLineEdit(QString::fromStdString(GetString(kPropLogDirectory)), this);
    label->setBuddy(folder_);
    NameControl(folder_, label->text());
    MarkEveryChange(folder_);
    connect(folder_, &QLineEdit::editingFinished, this, &COptionsFormPgLogs::StoreEdits);
    auto* browse = new QPushButton(OptionText(TextId::kBrowse), this);
    NameControl(browse, browse->text());
    connect(browse, &QPushButton::clicked, this, &COptionsFormPgLogs::Browse);
    row->addWidget(folder_, 1);
    row->addWidget(browse);
    layout->addLayout(row);
    layout->addStretch(1);
}

void COptionsFormPgLogs::StoreEdits() {
    if (!folder_->isModified()) return;
    SetString(kPropLogDirectory, folder_->text().toStdString());
    folder_->setModified(false);
}

void COptionsFormPgLogs::Browse() {
    const std::optional<QString> folder =
        Dialogs().BrowseFolder(this, OptionText(TextId::kLogsFolder));
    if (!folder || folder->isEmpty()) return;
    folder_->setText(*folder);
    folder_->setModified(false);
    SetString(kPropLogDirectory, folder->toStdString());
}

std::optional<std::string> CanonicalMacText(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string canonical;
    size_t at = 0;
    for (int field = 0; field < 6; ++field) {
        if (field > 0) {
            if (at >= text.size() || text[at] != ':') return std::nullopt;
            ++at;
        }
        int value = 0;
        size_t digits = 0;
        while (at < text.size() && digits < 3 &&
               std::isxdigit(static_cast<unsigned char>(text[at])) != 0) {
            const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[at])));
            value = value * 16 + (c <= '9' ? c - '0' : c - 'A' + 10);
            ++digits;
            ++at;
        }
        if (digits == 0 || digits > 2) return std::nullopt;
        if (field > 0) canonical += ':';
        canonical += kDigits[value / 16];
        canonical += kDigits[value % 16];
    }
    if (at != text.size()) return std::nullopt;
    return canonical;
}

COptionsFormPgPcap::COptionsFormPgPcap(KtPropertyEditor& editor, const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    AddSectionLabel(this, layout, TextId::kPcapGroup);
    auto* row = new QHBoxLayout;
    useMac_ = new QCheckBox(OptionText(TextId::kPcapSourceMac), this);
    NameControl(useMac_, useMac_->text());
    const bool useMac = GetInt(kPropPcapUseSourceMAC) == 1;
    useMac_->setChecked(useMac);
    // The stored MAC, else the one of the adapter the monitor uses.
    std::string mac = GetString(kPropPcapSourceMAC);
    if (mac.empty()) mac = Context().adapterMacText;
    mac_ = new QLineEdit(QString::fromStdString(mac), this);
    NameControl(mac_, useMac_->text());
    MarkEveryChange(mac_);
    mac_->setEnabled(useMac);
    row->addWidget(useMac_);
    row->addWidget(mac_, 1);
    layout->addLayout(row);
    promiscuous_ = AddCheck(this, layout, TextId::kPcapPromiscuous, kPropPcapPromiscuousMode);
    promiscuous_->setChecked(GetInt(kPropPcapPromiscuousMode) == 1);
    if (useMac) promiscuous_->setEnabled(false);
    layout->addStretch(1);
    connect(useMac_, &QCheckBox::toggled, this, &COptionsFormPgPcap::OnUseSourceMac);
    connect(mac_, &QLineEdit::editingFinished, this, &COptionsFormPgPcap::StoreEdits);
}

void COptionsFormPgPcap::OnUseSourceMac(bool checked) {
    if (checked) {
        // The shown MAC must read as one before the custom address is used: a
        // text the monitor would drop at the next start is refused here.
        // The edit stays enabled so that the text can be put right.
        mac_->setEnabled(true);
        if (!StoreMacText(false)) {
            // Unchecked without running the unchecked branch: the edit stays
            // enabled.
            const QSignalBlocker blocker(useMac_);
            useMac_->setChecked(false);
            return;
        }
        SetInt(kPropPcapUseSourceMAC, 1);
        SetInt(kPropPcapPromiscuousMode, 1);
        promiscuous_->setChecked(true);
        promiscuous_->setEnabled(false);
    } else {
        SetInt(kPropPcapUseSourceMAC, 0);
        promiscuous_->setEnabled(true);
        mac_->setEnabled(false);
    }
}

bool COptionsFormPgPcap::StoreMacText(bool allowEmpty) {
    const std::string text = mac_->text().toStdString();
    mac_->setModified(false);
    if (text.empty() && allowEmpty) {
        SetString(kPropPcapSourceMAC, text);
        return true;
    }
    const std::optional<std::string> canonical = CanonicalMacText(text);
    // A group (multicast, broadcast) or all-zero source would be no station's
    // own address: probes from it mislead switches and bridges.
    const std::optional<MacAddress> mac =
        canonical ? ParseCustomSourceMac(*canonical) : std::nullopt;
    if (!mac || !IsUsableSourceMac(*mac)) {
        Dialogs().ShowError(this, OptionText(TextId::kPcapInvalidMac));
        return false;
    }
    SetString(kPropPcapSourceMAC, *canonical);
    mac_->setText(QString::fromStdString(*canonical));
    mac_->setModified(false);
    return true;
}

void COptionsFormPgPcap::StoreEdits() {
    if (mac_->isModified()) StoreMacText(true);
}
