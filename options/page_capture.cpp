#include <QCheckBox>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cctype>

#include "engine/capture_protocol.h"
#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/text_ids.h"

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
    promiscuous_ =
        AddSettingCheck(this, layout, TextId::kPcapPromiscuous, kPropPcapPromiscuousMode);
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
