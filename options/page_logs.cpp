#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/text_ids.h"

COptionsFormPgLogs::COptionsFormPgLogs(KtPropertyEditor& editor, const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    AddSectionLabel(this, layout, TextId::kLogsLogging);
    AddSettingCheck(this, layout, TextId::kLogsPadiFromNodes, kPropLogPADINodesEnabled);
    AddSettingCheck(this, layout, TextId::kLogsPadiFromInstances, kPropLogPADILinewatchEnabled);
    AddSettingCheck(this, layout, TextId::kLogsGeneralFile, kPropLogGenWriteToFile);
    AddSettingCheck(this, layout, TextId::kLogsAcFile, kPropLogACWriteToFile);
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
