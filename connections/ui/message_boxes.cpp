#include "connections/ui/message_boxes.h"

#include <QMessageBox>

namespace {

KtMessageBoxes* current = nullptr;

}  // namespace

KtMessageBoxes& KtMessageBoxes::Current() {
    static KtQtMessageBoxes real;
    return current != nullptr ? *current : real;
}

void KtMessageBoxes::SetCurrent(KtMessageBoxes* boxes) {
    current = boxes;
}

void KtQtMessageBoxes::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox::critical(parent, caption, text);
}

bool KtQtMessageBoxes::AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}
