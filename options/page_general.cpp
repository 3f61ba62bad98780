#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <set>

#include "core/elevation/admin_operation.h"
#include "core/program_paths.h"
#include "core/storage/autostart.h"
#include "core/storage/registry.h"
#include "core/storage/storage_names.h"
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

// One autostart entry (the current user's or all users'), written and removed
// here or through the elevated helper.
struct RunSide {
    std::unique_ptr<KtRegistry> direct;
    bool elevated = false;

    bool Write(const std::string& value) {
        if (direct) return direct->SetStringValue(kRunValueName, value);
        return elevated && Succeeded(KtAdminOperation::WriteString(XdgAutostart::kRunKeyPath,
                                                                   kRunValueName, value));
    }
    bool Remove() {
        if (direct) return direct->DeleteValue(kRunValueName);
        return elevated &&
               Succeeded(KtAdminOperation::DeleteValue(XdgAutostart::kRunKeyPath, kRunValueName));
    }
};

bool EntryExists(RegistryRoot root) {
    KtRegistry run(root);
    return run.Open(kRunKeyAbsolutePath, false, false) && run.ValueExists(kRunValueName);
}

// Opens the entry of a root for a change: the current user's must be writable
// here; the all users' entry is changed here when it can be, else through the
// elevated helper.
StartupChange OpenSide(RegistryRoot root, RunSide& side) {
    auto key = std::make_unique<KtRegistry>(root);
    if (key->Open(kRunKeyAbsolutePath, true, true)) {
        side.direct = std::move(key);
        return StartupChange::kChanged;
    }
    if (root == RegistryRoot::CurrentUser) return StartupChange::kFailed;
    if (KtAdminOperation::GetElevatedInterface() == nullptr) return StartupChange::kDeclined;
    side.elevated = true;
    return StartupChange::kChanged;
}

}  // namespace

int ReadStartupMode() {
    if (EntryExists(RegistryRoot::LocalMachine)) return 2;
    return EntryExists(RegistryRoot::CurrentUser) ? 1 : 0;
}

std::string UserRunCommand() {
    const std::string program = GetProgramPath();
    // A quote cannot stand inside the quoted program name of the command line.
    if (program.empty() || program.find('"') != std::string::npos) return {};
    return "\"" + program + "\"";
}

StartupChange ChangeStartupEntry(int newMode) {
    if (newMode < 0 || newMode > 2) return StartupChange::kFailed;
    if (newMode == ReadStartupMode()) return StartupChange::kUnchanged;
    const bool wantUser = newMode == 1;
    const bool wantMachine = newMode == 2;
    const bool hasUser = EntryExists(RegistryRoot::CurrentUser);
    const bool hasMachine = EntryExists(RegistryRoot::LocalMachine);
    // Every entry that must change is opened first: a refused prompt or an
    // unwritable folder stops the change before anything is touched.
    RunSide user;
    RunSide machine;
    if (wantMachine != hasMachine) {
        if (StartupChange opened = OpenSide(RegistryRoot::LocalMachine, machine);
            opened != StartupChange::kChanged) {
            return opened;
        }
    }
    if (wantUser || hasUser) {
        if (OpenSide(RegistryRoot::CurrentUser, user) != StartupChange::kChanged)
            return StartupChange::kFailed;
    }
    // The new entry first; the others go only when it is there, so a failed
    // write never leaves the program without the entry it had. The user's own
    // entry starts the program that is running now; the all users' entry
    // starts the installed program (the only one the helper lets in).
    if (wantUser) {
        const std::string command = UserRunCommand();
        if (command.empty() || !user.Write(command)) return StartupChange::kFailed;
    }
    if (wantMachine && !hasMachine && !machine.Write(KtAdminOperation::ProgramRunCommand()))
        return StartupChange::kFailed;
    bool removed = true;
    if (!wantUser && hasUser) removed = user.Remove() && removed;
    if (!wantMachine && hasMachine) removed = machine.Remove() && removed;
    return removed ? StartupChange::kChanged : StartupChange::kFailed;
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
