#include "connections/ui/dial_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "connections/phonebook.h"
#include "ui/dialog_fonts.h"

KtDialDialog::KtDialDialog(const std::string& entryName, QWidget* parent)
    : QDialog(parent),
      entryName_(entryName),
      user_(new QLineEdit(this)),
      password_(new QLineEdit(this)),
      output_(new QPlainTextEdit(this)),
      dial_(new QPushButton(tr("Dial"), this)),
      cancel_(new QPushButton(tr("Cancel"), this)) {
    setWindowTitle(tr("Connect %1").arg(QString::fromStdString(entryName)));
    template_.peersFolder = PeersFolder();
    password_->setEchoMode(QLineEdit::Password);
    output_->setReadOnly(true);
    output_->setMinimumSize(420, 160);
    dial_->setDefault(true);
    setFont(GetDialogFont());

    auto* form = new QFormLayout;
    form->addRow(tr("User name:"), user_);
    form->addRow(tr("Password:"), password_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(dial_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(output_);
    layout->addLayout(buttons);

    connect(dial_, &QPushButton::clicked, this, &KtDialDialog::StartDial);
    connect(cancel_, &QPushButton::clicked, this, &KtDialDialog::CancelOrClose);
}

KtDialDialog::~KtDialDialog() {
    runner_.Cancel();
    runner_.Wait();
}

void KtDialDialog::AppendLine(const QString& line) {
    output_->appendPlainText(line);
}

void KtDialDialog::StartDial() {
    if (running_) {
        return;
    }
    runner_.Wait();  // the last dial's thread has finished its work
    DialRequest request = template_;
    request.entryName = entryName_;
    request.user = user_->text().toStdString();
    request.password = password_->text().toStdString();
    output_->clear();
    std::string error;
    // The handlers run on the runner's thread; the widgets are touched on ours.
    auto onLine = [this](const std::string& line) {
        QMetaObject::invokeMethod(
            this, [this, text = QString::fromStdString(line)] { AppendLine(text); },
            Qt::QueuedConnection);
    };
    auto onEnd = [this](const DialOutcome& outcome) {
        QMetaObject::invokeMethod(
            this,
            [this, outcome] {
                outcome_ = outcome;
                for (const std::string& line : outcome.summary) {
                    AppendLine(QString::fromStdString(line));
                }
                running_ = false;
                dial_->setEnabled(true);
                emit DialEnded();
            },
            Qt::QueuedConnection);
    };
    if (!runner_.Start(request, onLine, onEnd, error)) {
        AppendLine(QString::fromStdString(error));
        return;
    }
    running_ = true;
    dial_->setEnabled(false);
}

void KtDialDialog::CancelOrClose() {
    if (running_) {
        runner_.Cancel();
    } else {
        reject();
    }
}

void DialConnection(QWidget* parent, const std::string& entryName) {
    KtDialDialog dialog(entryName, parent);
    dialog.exec();
}
