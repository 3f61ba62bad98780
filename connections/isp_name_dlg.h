#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

// The "Connection name" dialog: asks the name of a new connection entry.
// OK checks the name with the entry-name rules and the peers folder: an
// invalid name is shown (text 1006) and a taken one asks whether to overwrite
// it (text 1004); in both cases the dialog stays open unless Yes was given.
class CIspNameDlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kTemplateId = 135;
    static constexpr int kPromptId = 1071;
    static constexpr int kNameEditId = 1037;

    explicit CIspNameDlg(QWidget* parent = nullptr);

    // The entry name, as bytes (UTF-8).
    std::string Name() const;
    void SetName(const std::string& name);

    QLabel* Prompt() const { return prompt_; }
    QLineEdit* NameEdit() const { return edit_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

  public slots:
    void accept() override;

  private:
    QLabel* prompt_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

// Asks the name of a new entry for the access concentrator named base: the
// dialog starts with base, or the first free of "base (1)" to "base (8)",
// or empty. True with the name when the user confirmed one with OK.
bool AskConnectionName(QWidget* parent, const std::string& base, std::string& name);
