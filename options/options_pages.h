#pragma once

#include <QDialog>
#include <QString>
#include <optional>
#include <string>

#include "options/options_form.h"
#include "options/startup_entries.h"

class KtNumberSpin;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTreeWidget;

// Monitor page: probe timings and event options.
class COptionsFormPgPopWndDlg : public KtOptionsPage {
    Q_OBJECT

  public:
    COptionsFormPgPopWndDlg(KtPropertyEditor& editor, const KtOptionsContext& context);
    void StoreEdits() override;

    KtNumberSpin* IntervalSpin() const { return interval_; }
    KtNumberSpin* WaitSpin() const { return wait_; }
    KtNumberSpin* DownAfterSpin() const { return downAfter_; }

  private:
    KtNumberSpin* AddSpin(class QGridLayout* grid, int row, int labelId, int32_t id);
    KtNumberSpin* interval_ = nullptr;
    KtNumberSpin* wait_ = nullptr;
    KtNumberSpin* downAfter_ = nullptr;
};

// Logs page: logging switches and the log folder.
class COptionsFormPgLogs : public KtOptionsPage {
    Q_OBJECT

  public:
    COptionsFormPgLogs(KtPropertyEditor& editor, const KtOptionsContext& context);
    void StoreEdits() override;
    QLineEdit* FolderEdit() const { return folder_; }

  private:
    void Browse();
    QLineEdit* folder_ = nullptr;
};

// Packet capture page: custom source MAC and promiscuous mode.
class COptionsFormPgPcap : public KtOptionsPage {
    Q_OBJECT

  public:
    COptionsFormPgPcap(KtPropertyEditor& editor, const KtOptionsContext& context);
    void StoreEdits() override;
    QLineEdit* MacEdit() const { return mac_; }

  private:
    void OnUseSourceMac(bool checked);
    // Stores the edit's MAC in its canonical form when it reads strictly as a
    // MAC; shows "Invalid MAC address." and stores nothing otherwise. An
    // empty text is stored as such when allowed (the edit), and refused when
    // the custom address is being switched on.
    bool StoreMacText(bool allowEmpty);
    QCheckBox* useMac_ = nullptr;
    QCheckBox* promiscuous_ = nullptr;
    QLineEdit* mac_ = nullptr;
};

// A MAC text as the page accepts it: six fields of one or two hexadecimal
// digits joined by colons, nothing else (no blanks, signs or "0x"). The
// canonical form: 17 characters, upper-case pairs. Nothing when refused.
std::optional<std::string> CanonicalMacText(std::string_view text);

// System page: start-up mode and interface language.
class COptionsFormPgGenDlg : public KtOptionsPage {
    Q_OBJECT

  public:
    COptionsFormPgGenDlg(KtPropertyEditor& editor, const KtOptionsContext& context);
    QLabel* ModeLabel() const { return mode_; }
    QLabel* NoticeLabel() const { return notice_; }
    QListWidget* Languages() const { return languages_; }
    QLabel* LanguageInfo() const { return info_; }
    void Change();

  private:
    void ShowMode();
    void OnLanguageSelected();
    QLabel* mode_ = nullptr;
    QLabel* notice_ = nullptr;
    QListWidget* languages_ = nullptr;
    QLabel* info_ = nullptr;
};

// Sound events page: the two event sounds.
class COptionsFormDlgSound : public KtOptionsPage {
    Q_OBJECT

  public:
    COptionsFormDlgSound(KtPropertyEditor& editor, const KtOptionsContext& context);
    void StoreEdits() override;
    QTreeWidget* List() const { return list_; }
    QLineEdit* FileEdit() const { return file_; }

  private:
    void OnCurrentRowChanged();
    void Browse();
    QTreeWidget* list_ = nullptr;
    QLineEdit* file_ = nullptr;
    int row_ = 0;
};

// PPPoE driver page: the driver's number of endpoints.
class COptionsFormPgNet : public KtOptionsPage {
    Q_OBJECT

  public:
    COptionsFormPgNet(KtPropertyEditor& editor, const KtOptionsContext& context);
    QLineEdit* NumberEdit() const { return number_; }
    QPushButton* ChangeButton() const { return change_; }
    QLabel* NoticeLabel() const { return notice_; }
    void Change();

  private:
    void ShowNumber();
    QLineEdit* number_ = nullptr;
    QPushButton* change_ = nullptr;
    QLabel* notice_ = nullptr;
};

// The driver's device key and the class key prefix, below the machine root.
constexpr std::string_view kPppoeDeviceKey =
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\MS_PPPOEMINIPORT\\0000";
constexpr std::string_view kAdapterClassPrefix = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
// The number of endpoints, or nothing when a key or value cannot be read.
std::optional<int32_t> ReadWanEndpoints();
// Writes the number into the class key the driver names: directly when the
// key can be written here, else through the elevated helper. False when
// nothing could be written (no driver text, or no helper granted).
bool WriteWanEndpoints(int32_t endpoints);

// The number dialog: one integer between the bounds; the arrows stop at them
// and a typed number outside them is refused, saying which are taken.
class CNumValEdit : public QDialog {
    Q_OBJECT

  public:
    CNumValEdit(QWidget* parent, KtOptionsDialogs& dialogs, int lower, int upper, int value);
    int Value() const { return value_; }
    QLineEdit* Edit() const;
    void accept() override;

  private:
    KtOptionsDialogs& dialogs_;
    KtNumberSpin* spin_ = nullptr;
    int lower_;
    int upper_;
    int value_;
};

// The start-up mode dialog.
class CDlgEditAutoStartup : public QDialog {
    Q_OBJECT

  public:
    CDlgEditAutoStartup(QWidget* parent, int mode);
    int Mode() const { return mode_; }

  private:
    int mode_;
};
