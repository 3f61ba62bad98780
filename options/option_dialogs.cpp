#include "options/option_dialogs.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <limits>

#include "options/number_spin.h"
#include "options/options_pages.h"
#include "ui/dialog_fonts.h"
#include "text/text_ids.h"
#include "text/text_table.h"

namespace {

constexpr const char* kEnterAnInteger = "Enter an integer.";
// A number outside the range: which numbers are taken.
constexpr const char* kEnterBetween = "Enter an integer between %1 and %2.";

QDialogButtonBox* AddOkCancel(QDialog* dialog, QLayout* layout) {
    auto* buttons = new QDialogButtonBox(dialog);
    QPushButton* ok = buttons->addButton(OptionText(TextId::kOk), QDialogButtonBox::AcceptRole);
    QPushButton* cancel =
        buttons->addButton(OptionText(TextId::kCancel), QDialogButtonBox::RejectRole);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    NameControl(ok, ok->text());
    NameControl(cancel, cancel->text());
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return buttons;
}

class DesktopDialogs final : public KtOptionsDialogs {
  public:
    void ShowError(QWidget* parent, const QString& text) override {
        QMessageBox::critical(parent, QGuiApplication::applicationDisplayName(), text);
    }
    std::optional<QString> BrowseFolder(QWidget* parent, const QString& title) override {
        const QString folder =
            QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
        if (folder.isEmpty()) return std::nullopt;
        return folder;
    }
    std::optional<QString> OpenSoundFile(QWidget* parent) override {
        QFileDialog dialog(parent);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilters(
            {QStringLiteral("Wave Files (*.wav)"), QStringLiteral("All Files (*)")});
        dialog.setDefaultSuffix(QStringLiteral("wav"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return std::nullopt;
        }
        return dialog.selectedFiles().front();
    }
    std::optional<int> EditStartupMode(QWidget* parent, int mode) override {
        CDlgEditAutoStartup dialog(parent, mode);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.Mode();
    }
    std::optional<int> EditNumber(QWidget* parent, int lower, int upper, int value) override {
        CNumValEdit dialog(parent, *this, lower, upper, value);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.Value();
    }
};

}  // namespace

KtOptionsDialogs& DesktopOptionsDialogs() {
    static DesktopDialogs dialogs;
    return dialogs;
}

std::optional<int> ReadDialogInteger(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    bool ok = false;
    const qlonglong value = trimmed.toLongLong(&ok, 10);
    if (!ok || value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return static_cast<int>(value);
}

CNumValEdit::CNumValEdit(QWidget* parent, KtOptionsDialogs& dialogs, int lower, int upper,
                         int value)
    : QDialog(parent), dialogs_(dialogs), lower_(lower), upper_(upper), value_(value) {
    setWindowTitle(OptionText(TextId::kDriverMiniportEndpoints));
    setFont(GetDialogFont());
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(OptionText(TextId::kDriverMiniportEndpoints), this);
    layout->addWidget(label);
    // The arrows stop at the bounds; a typed number is taken as typed.
    spin_ = new KtNumberSpin(lower, upper, this);
    spin_->SetPosition(value);
    label->setBuddy(spin_);
    NameControl(spin_, label->text());
    layout->addWidget(spin_);
    AddOkCancel(this, layout);
}

QLineEdit* CNumValEdit::Edit() const {
    return spin_->Edit();
}

void CNumValEdit::accept() {
    // Only what can be written is taken: a number outside the bounds would be
    // refused further on, after the dialog had said nothing.
    const std::optional<int> typed = ReadDialogInteger(spin_->Edit()->text());
    if (!typed || *typed < lower_ || *typed > upper_) {
        dialogs_.ShowError(this, typed ? QString::fromUtf8(kEnterBetween).arg(lower_).arg(upper_)
                                       : QString::fromUtf8(kEnterAnInteger));
        spin_->setFocus();
        return;
    }
    value_ = *typed;
    QDialog::accept();
}

CDlgEditAutoStartup::CDlgEditAutoStartup(QWidget* parent, int mode) : QDialog(parent), mode_(mode) {
    setWindowTitle(OptionText(TextId::kSysLaunchOnStartup));
    setFont(GetDialogFont());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(OptionText(TextId::kSysLaunchOnStartup), this));
    auto* group = new QButtonGroup(this);
    const int texts[] = {TextId::kSysStartupDisabled, TextId::kSysStartupCurrentUser,
                         TextId::kSysStartupAllUsers};
    for (int choice = 0; choice < 3; ++choice) {
        auto* radio = new QRadioButton(OptionText(texts[choice]), this);
        NameControl(radio, radio->text());
        radio->setChecked(choice == mode);
        group->addButton(radio, choice);
        layout->addWidget(radio);
    }
    // toggled, not clicked: a screen reader's toggle and the arrow keys check
    // a button without a click, and the choice must still be taken.
    connect(group, &QButtonGroup::idToggled, this, [this](int choice, bool checked) {
        if (checked) mode_ = choice;
    });
    AddOkCancel(this, layout);
}
