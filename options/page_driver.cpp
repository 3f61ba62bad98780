#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/debug_output.h"
#include "core/elevation/admin_operation.h"
#include "core/storage/registry.h"
#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/text_ids.h"
#include "text/text_table.h"

namespace {

constexpr std::string_view kDriverValue = "Driver";
constexpr std::string_view kEndpointsValue = "WanEndpoints";
// The class key path is formed in 260 characters, as the driver's own key
// names are; a longer "Driver" text names no class key and is refused.
constexpr size_t kMaxClassKeyPath = 259;

constexpr const char* kReadFailedNotice = "The number of endpoints cannot be read.";
constexpr const char* kWriteFailedNotice = "The new number of endpoints was not written.";

// The class key the driver's device key names, or "" (with a line to the
// debug output) when it cannot be read.
std::string DriverClassKey() {
    KtRegistry device(RegistryRoot::LocalMachine);
    uint32_t type = 0;
    std::string data;
    if (!device.Open("\\" + std::string(kPppoeDeviceKey), false, false) ||
        !device.QueryValue(kDriverValue, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        DebugOutput("The PPPoE driver's device key or its Driver value cannot be read.\n");
        return {};
    }
    const std::string driver = data.substr(0, data.find('\0'));
    std::string path = std::string(kAdapterClassPrefix) + driver;
    if (driver.empty() || path.size() > kMaxClassKeyPath) {
        DebugOutput("The PPPoE driver's Driver value names no class key.\n");
        return {};
    }
    return path;
}

}  // namespace

std::optional<int32_t> ReadWanEndpoints() {
    const std::string classKey = DriverClassKey();
    if (classKey.empty()) return std::nullopt;
    KtRegistry key(RegistryRoot::LocalMachine);
    uint32_t type = 0;
    std::string data;
    if (!key.Open("\\" + classKey, false, false) || !key.QueryValue(kEndpointsValue, type, data) ||
        data.empty()) {
        DebugOutput("The PPPoE driver's WanEndpoints value cannot be read.\n");
        return std::nullopt;
    }
    return key.ReadInt(kEndpointsValue, 0);
}

bool WriteWanEndpoints(int32_t endpoints) {
    // The same range as through the helper: root is no exception.
    if (endpoints < kMinWanEndpoints || endpoints > kMaxWanEndpoints) return false;
    const std::string classKey = DriverClassKey();
    if (classKey.empty()) return false;
    KtRegistry key(RegistryRoot::LocalMachine);
    if (key.Open("\\" + classKey, false, true)) return key.SetIntValue(kEndpointsValue, endpoints);
    if (KtAdminOperation::GetElevatedInterface() == nullptr) return false;
    return Succeeded(KtAdminOperation::WriteInt(classKey, kEndpointsValue, endpoints));
}

COptionsFormPgNet::COptionsFormPgNet(KtPropertyEditor& editor, const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    AddSectionLabel(this, layout, TextId::kDriverMiniport);
    auto* label = new QLabel(OptionText(TextId::kDriverMiniportEndpoints), this);
    layout->addWidget(label);
    auto* row = new QHBoxLayout;
    number_ = new QLineEdit(this);
    number_->setReadOnly(true);
    label->setBuddy(number_);
    NameControl(number_, label->text());
    change_ = new QPushButton(OptionText(TextId::kChange), this);
    NameControl(change_, change_->text());
    connect(change_, &QPushButton::clicked, this, &COptionsFormPgNet::Change);
    row->addWidget(number_, 1);
    row->addWidget(change_);
    layout->addLayout(row);
    notice_ = new QLabel(this);
    notice_->setTextFormat(Qt::PlainText);
    layout->addWidget(notice_);
    auto* note = new QLabel(OptionText(TextId::kDriverRestartNote), this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addStretch(1);
    ShowNumber();
}

void COptionsFormPgNet::ShowNumber() {
    // A value that cannot be read is shown as such, not as a number the
    // driver does not hold, and cannot be changed.
    const std::optional<int32_t> endpoints = ReadWanEndpoints();
    number_->setText(endpoints ? QString::number(*endpoints) : QString());
    change_->setEnabled(endpoints.has_value());
    if (!endpoints) notice_->setText(QString::fromUtf8(kReadFailedNotice));
}

void COptionsFormPgNet::Change() {
    const std::optional<int32_t> endpoints = ReadWanEndpoints();
    if (!endpoints) {
        ShowNumber();
        return;
    }
    notice_->clear();
    if (const std::optional<int> chosen =
            Dialogs().EditNumber(this, kMinWanEndpoints, kMaxWanEndpoints, *endpoints)) {
        if (!WriteWanEndpoints(*chosen)) notice_->setText(QString::fromUtf8(kWriteFailedNotice));
    }
    ShowNumber();
}
