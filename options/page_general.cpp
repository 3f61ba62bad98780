#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <set>

#include "core/program_paths.h"
#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "text/language_file.h"
#include "text/text_ids.h"
#include "text/text_table.h"

namespace {

constexpr int kRoleFile = Qt::UserRole;
constexpr int kRoleTranslator = Qt::UserRole + 1;
constexpr int kRoleVersion = Qt::UserRole + 2;

// What the page says when the start-up change did not go through.
constexpr const char* kDeclinedNotice =
    "Administrator rights were not granted: the start-up setting is unchanged.";
constexpr const char* kFailedNotice = "The start-up setting could not be changed.";

int ModeTextId(int mode) {
    switch (mode) {
        case 0:
            return TextId::kSysStartupDisabled;
        case 1:
            return TextId::kSysStartupCurrentUser;
        case 2:
            return TextId::kSysStartupAllUsers;
        default:
            return 0;
    }
}

}  // namespace

COptionsFormPgGenDlg::COptionsFormPgGenDlg(KtPropertyEditor& editor,
                                           const KtOptionsContext& context)
    : KtOptionsPage(editor, context) {
    auto* layout = new QVBoxLayout(this);
    AddSectionLabel(this, layout, TextId::kSysLaunchOnStartup);
    auto* row = new QHBoxLayout;
    mode_ = new QLabel(this);
    auto* change = new QPushButton(OptionText(TextId::kChange), this);
    NameControl(change, change->text());
    connect(change, &QPushButton::clicked, this, &COptionsFormPgGenDlg::Change);
    row->addWidget(mode_, 1);
    row->addWidget(change);
    layout->addLayout(row);
    notice_ = new QLabel(this);
    notice_->setTextFormat(Qt::PlainText);
    layout->addWidget(notice_);

    AddSectionLabel(this, layout, TextId::kSysInterfaceLanguage);
    auto* select = new QLabel(OptionText(TextId::kSysSelectLanguage), this);
    layout->addWidget(select);
    languages_ = new QListWidget(this);
    select->setBuddy(languages_);
    NameControl(languages_, select->text());
    layout->addWidget(languages_, 1);
    info_ = new QLabel(this);
    info_->setTextFormat(Qt::PlainText);
    layout->addWidget(info_);
    auto* note = new QLabel(OptionText(TextId::kSysRestartNote), this);
    note->setWordWrap(true);
    layout->addWidget(note);
    ShowMode();

    // The language files of every language folder; a name found in two
    // folders is the one that loads, from the first.
    std::set<QString> seen;
    for (const std::string& folder : LanguageFolders()) {
        const QDir dir(QString::fromStdString(folder));
        const QStringList files =
            dir.entryList({QStringLiteral("*.lng")}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QString& file : files) {
            if (!seen.insert(file).second) continue;
            const KtLanguageInfo info = ReadLanguageInfo(dir.filePath(file).toStdString());
            auto* item = new QListWidgetItem(QString::fromStdString(info.languageName));
            item->setData(kRoleFile, file);
            item->setData(kRoleTranslator, QString::fromStdString(info.translator));
            item->setData(kRoleVersion, QString::fromStdString(info.productVersion));
            languages_->addItem(item);
        }
    }
    languages_->sortItems();
    const QString current = QString::fromStdString(GetString(kPropSysLanguageFile));
    for (int i = 0; i < languages_->count(); ++i) {
        if (languages_->item(i)->data(kRoleFile).toString() == current) {
            languages_->setCurrentRow(i);
            OnLanguageSelected();
            break;
        }
    }
    connect(languages_, &QListWidget::itemSelectionChanged, this,
            &COptionsFormPgGenDlg::OnLanguageSelected);
}

void COptionsFormPgGenDlg::ShowMode() {
    // The entries on disk are the truth: they change the moment a choice is
    // confirmed, whatever the options window does with its other settings.
    const int mode = ReadStartupMode();
    if (GetInt(kPropLaunchOnStartup) != mode) SetInt(kPropLaunchOnStartup, mode);
    const int id = ModeTextId(mode);
    mode_->setText(id != 0 ? OptionText(id) : QString());
    NameControl(mode_, mode_->text());
}

void COptionsFormPgGenDlg::OnLanguageSelected() {
    const QList<QListWidgetItem*> selected = languages_->selectedItems();
    if (selected.isEmpty()) return;
    const QListWidgetItem* item = selected.front();
    info_->setText(QStringLiteral("%1 %2\n%3 %4")
                       .arg(OptionText(TextId::kSysTranslator),
                            item->data(kRoleTranslator).toString(), OptionText(TextId::kSysVersion),
                            item->data(kRoleVersion).toString()));
    SetString(kPropSysLanguageFile, item->data(kRoleFile).toString().toStdString());
}

void COptionsFormPgGenDlg::Change() {
    const int before = ReadStartupMode();
    const std::optional<int> chosen = Dialogs().EditStartupMode(this, before);
    if (!chosen) {
        ShowMode();
        return;
    }
    notice_->clear();
    const StartupChange result = ChangeStartupEntry(*chosen);
    if (result == StartupChange::kDeclined) {
        notice_->setText(QString::fromUtf8(kDeclinedNotice));
    } else if (result == StartupChange::kFailed || ReadStartupMode() != *chosen) {
        notice_->setText(QString::fromUtf8(kFailedNotice));
    }
    ShowMode();
}
