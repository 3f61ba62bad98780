#pragma once

#include <QDialog>
#include <string>

#include "connections/dial_runner.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The dial dialog: asks user name and password for an entry, runs pppd for
// it and shows pppd's words as they come; Cancel ends a running pppd, or
// closes the dialog when none runs. At the end it says how pppd ended.
class KtDialDialog : public QDialog {
    Q_OBJECT

  public:
    explicit KtDialDialog(const std::string& entryName, QWidget* parent = nullptr);
    ~KtDialDialog() override;

    // Where the dial's pppd and peers folder come from (tests, the lab).
    void SetRequestTemplate(const DialRequest& request) { template_ = request; }

    QLineEdit* UserEdit() const { return user_; }
    QLineEdit* PasswordEdit() const { return password_; }
    QPlainTextEdit* Output() const { return output_; }
    QPushButton* DialButton() const { return dial_; }
    QPushButton* CancelButton() const { return cancel_; }
    bool Running() const { return running_; }
    // The last dial's outcome (started false before any).
    const DialOutcome& Outcome() const { return outcome_; }

  public slots:
    void StartDial();
    void CancelOrClose();

  signals:
    void DialEnded();

  private:
    void AppendLine(const QString& line);

    std::string entryName_;
    DialRequest template_;
    QLineEdit* user_;
    QLineEdit* password_;
    QPlainTextEdit* output_;
    QPushButton* dial_;
    QPushButton* cancel_;
    bool running_ = false;
    DialOutcome outcome_;
    KtDialRunner runner_;
};

// Shows the dial dialog for the entry in the current peers folder, modally.
void DialConnection(QWidget* parent, const std::string& entryName);
