#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <set>

#include "core/elevation/admin_operation.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/storage_names.h"
#include "options/option_dialogs.h"
#include "options/options_pages.h"
#include "ui/text/language_file.h"
#include "ui/text/text_ids.h"
#include "ui/text/text_table.h"

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

// One side of a start-up change: the autostart entry of a root, written
// here or through the elevated helper.
struct RunSide {
    std::unique_ptr<KtRegistry> direct;
    bool elevated = false;

    bool Write(const std::string& value) {
        if (direct) return direct->SetStringValue(kRunValueName, value);
        if (elevated) {
            return Succeeded(
                KtAdminOperation::WriteString(XdgAutostart::kRunKeyPath, kRunValueName, value));
        }
        return true;
    }
    void Remove() {
        if (direct) {
            direct->DeleteValue(kRunValueName);
        } else if (elevated) {
            KtAdminOperation::DeleteValue(XdgAutostart::kRunKeyPath, kRunValueName);
        }
    }
};

// Opens the side of a mode. Off has none; the current user's entry must be
// writable here; the all users' entry is written here when it can be, else
// through the elevated helper.
StartupChange OpenSide(int mode, RunSide& side) {
    if (mode == 1 || mode == 2) {
        const RegistryRoot root =
            mode == 1 ? RegistryRoot::CurrentUser : RegistryRoot::LocalMachine;
        auto key = std::make_unique<KtRegistry>(root);
        if (key->Open(kRunKeyAbsolutePath, true, true)) {
            side.direct = std::move(key);
        } else if (mode == 2) {
            if (KtAdminOperation::GetElevatedInterface() == nullptr)
                return StartupChange::kDeclined;
            side.elevated = true;
        } else {
            return StartupChange::kFailed;
        }
    }
    return StartupChange::kChanged;
}

}  // namespace

int ReadStartupMode() {
    int mode = 0;
    for (const auto& [root, value] :
         {std::pair{RegistryRoot::CurrentUser, 1}, std::pair{RegistryRoot::LocalMachine, 2}}) {
        KtRegistry run(root);
        if (run.Open(kRunKeyAbsolutePath, false, false) && run.ValueExists(kRunValueName)) {
            mode = value;
        }
    }
    return mode;
}

StartupChange ChangeStartupEntry(int oldMode, int newMode) {
    if (oldMode == newMode) return StartupChange::kUnchanged;
    RunSide add;
    RunSide clear;
    // Both sides first: a refused prompt or an unwritable folder stops the
    // change before anything is touched.
    if (StartupChange opened = OpenSide(newMode, add); opened != StartupChange::kChanged) {
        return opened;
    }
    if (StartupChange opened = OpenSide(oldMode, clear); opened != StartupChange::kChanged) {
        if (opened == StartupChange::kDeclined) return opened;
        // The current user's entry cannot be removed here: nothing to clear.
        clear = RunSide{};
    }
    // The new entry first; the old one goes only when the new one is there, so
    // a failed write never leaves the program without the entry it had.
    if (!add.Write(KtAdminOperation::ProgramRunCommand())) return StartupChange::kFailed;
    clear.Remove();
    return StartupChange::kChanged;
}

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
    const int id = ModeTextId(GetInt(kPropLaunchOnStartup));
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
    const int before = GetInt(kPropLaunchOnStartup);
    const std::optional<int> chosen = Dialogs().EditStartupMode(this, before);
    if (!chosen) return;
    notice_->clear();
    if (*chosen != before) {
        const StartupChange result = ChangeStartupEntry(before, *chosen);
        // The entries are changed at once, not by OK: the page and the
        // editor show what is really there now.
        const int now = ReadStartupMode();
        SetInt(kPropLaunchOnStartup, now);
        if (result == StartupChange::kDeclined) {
            notice_->setText(QString::fromUtf8(kDeclinedNotice));
        } else if (result == StartupChange::kFailed || now != *chosen) {
            notice_->setText(QString::fromUtf8(kFailedNotice));
        }
    }
    ShowMode();
}
