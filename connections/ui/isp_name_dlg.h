#pragma once

#include <QDialog>
#include <string>

#include "core/elevation/elevated_protocol.h"

class KtMessageBoxes;
class QLabel;
class QLineEdit;
class QPushButton;

// The "Connection name" dialog: asks the name of a new connection entry.
// OK checks the name with the entry-name rules and the peers folder: an
// invalid name is shown (text 1006) and a taken one asks whether to overwrite
// it (text 1004); in both cases the dialog stays open unless Yes was given.
// When the folder cannot be read, the dialog says why under the name instead
// of calling every name taken; OK then asks nothing, and the writer keeps
// any file it was not told it may replace. The boxes must outlive the dialog.
class CIspNameDlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kTemplateId = 135;
    static constexpr int kPromptId = 1071;
    static constexpr int kNameEditId = 1037;

    explicit CIspNameDlg(KtMessageBoxes& boxes, QWidget* parent = nullptr);

    // The entry name, as bytes (UTF-8).
    std::string Name() const;
    void SetName(const std::string& name);

    QLabel* Prompt() const { return prompt_; }
    QLineEdit* NameEdit() const { return edit_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    // The line that tells why the peers folder cannot be read; hidden while
    // it can.
    QLabel* FolderHint() const { return hint_; }
    void ShowFolderHint(const std::string& text);
    // Whether the user said Yes to overwriting the name the dialog closed with.
    bool ReplaceAgreed() const { return replaceAgreed_; }

  public slots:
    void accept() override;

  private:
    KtMessageBoxes& boxes_;
    QLabel* prompt_;
    QLabel* hint_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
    bool replaceAgreed_ = false;
};

// Asks the name of a new entry for the access concentrator named base: the
// dialog starts with base, or the first free of "base (1)" to "base (8)",
// or empty. True with the name when the user confirmed one with OK. The
// dialog's questions and errors go to the boxes.
bool AskConnectionName(KtMessageBoxes& boxes, QWidget* parent, const std::string& base,
                       std::string& name);

// How a create of the entry `name` may treat an existing file: Agreed, once,
// when the user said Yes to overwriting exactly that name in the last
// AskConnectionName; otherwise only the program's own entries are replaced.
PeersReplace TakeAgreedReplacement(const std::string& name);
