#include "connections/ui/message_boxes.h"

#include <QMessageBox>

KtMessageBoxes& DesktopMessageBoxes() {
    static KtQtMessageBoxes boxes;
    return boxes;
}

void KtQtMessageBoxes::ShowError(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox::critical(parent, caption, text);
}

bool KtQtMessageBoxes::AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}
