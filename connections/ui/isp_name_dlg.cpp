#include "connections/ui/isp_name_dlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "connections/phonebook.h"
#include "connections/ui/message_boxes.h"
#include "text/text_ids.h"
#include "text/text_table.h"
#include "ui/dialog_fonts.h"

namespace {

QString Text(int id) {
    return QString::fromStdString(GetText(id));
}

// The name the user last agreed to overwrite (UI thread only).
std::string agreedReplacement;

}  // namespace

CIspNameDlg::CIspNameDlg(KtMessageBoxes& boxes, QWidget* parent)
    : QDialog(parent),
      boxes_(boxes),
      prompt_(new QLabel(this)),
      hint_(new QLabel(this)),
      edit_(new QLineEdit(this)),
      ok_(new QPushButton(this)),
      cancel_(new QPushButton(this)) {
    setWindowTitle(Text(TextId::kConnectionName));
    prompt_->setText(Text(TextId::kConnectionEnterName));
    ok_->setText(Text(TextId::kOk));
    cancel_->setText(Text(TextId::kCancel));
    hint_->setTextFormat(Qt::PlainText);
    hint_->setWordWrap(true);
    hint_->hide();
    for (QWidget* widget : {static_cast<QWidget*>(prompt_), static_cast<QWidget*>(hint_),
                            static_cast<QWidget*>(edit_), static_cast<QWidget*>(ok_),
                            static_cast<QWidget*>(cancel_)}) {
        widget->setFont(GetDialogFont());
    }
    // The edit is named by its prompt for screen readers.
    prompt_->setBuddy(edit_);
    edit_->setAccessibleName(prompt_->text());
    prompt_->setObjectName(QString::number(kPromptId));
    edit_->setObjectName(QString::number(kNameEditId));
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &CIspNameDlg::accept);
    connect(cancel_, &QPushButton::clicked, this, &CIspNameDlg::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt_);
    layout->addWidget(edit_);
    layout->addWidget(hint_);
    layout->addLayout(buttons);
    // 220 by 77 dialog units, about 330 by 125 pixels at the usual font.
    setMinimumWidth(330);
    edit_->setFocus();
}

std::string CIspNameDlg::Name() const {
    return edit_->text().toStdString();
}

void CIspNameDlg::SetName(const std::string& name) {
    edit_->setText(QString::fromStdString(name));
}

void CIspNameDlg::ShowFolderHint(const std::string& text) {
    hint_->setText(QString::fromStdString(text));
    hint_->setVisible(!text.empty());
}

void CIspNameDlg::accept() {
    replaceAgreed_ = false;
    switch (CheckEntryName(Name())) {
        case EntryNameCheck::Invalid:
            boxes_.ShowError(this, Text(TextId::kConnectionInvalidCaption),
                             Text(TextId::kConnectionInvalidText));
            return;
        case EntryNameCheck::AlreadyExists:
            if (!boxes_.AskYesNo(this, Text(TextId::kConnectionExistsCaption),
                                 Text(TextId::kConnectionExistsText))) {
                return;
            }
            replaceAgreed_ = true;
            break;
        case EntryNameCheck::FolderUnreadable:
            // The hint under the name has said why nothing can be told.
        case EntryNameCheck::Ok:
            break;
    }
    QDialog::accept();
}

bool AskConnectionName(KtMessageBoxes& boxes, QWidget* parent, const std::string& base,
                       std::string& name) {
    agreedReplacement.clear();
    CIspNameDlg dialog(boxes, parent);
    dialog.SetName(SuggestConnectionName(base));
    if (!CanSearchPeersFolder()) {
        dialog.ShowFolderHint(UnreadableFolderAdvice());
    }
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    name = dialog.Name();
    if (dialog.ReplaceAgreed()) {
        agreedReplacement = name;
    }
    return true;
}

PeersReplace TakeAgreedReplacement(const std::string& name) {
    const bool agreed = !agreedReplacement.empty() && agreedReplacement == name;
    agreedReplacement.clear();
    return agreed ? PeersReplace::Agreed : PeersReplace::OwnEntries;
}
