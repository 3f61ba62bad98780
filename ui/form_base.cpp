#include "ui/form_base.h"

#include <QFontMetrics>
#include <QLabel>

#include "ui/task_registry.h"

KtFormBase::KtFormBase(QWidget* parent) : QMainWindow(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
}

KtFormBase::~KtFormBase() {
    if (ownerTask_ != nullptr) {
        KtTaskWindowed* task = ownerTask_;
        ownerTask_ = nullptr;
        task->ClearWindow();
        KtTaskRegistry::Get().Remove(task);
        task->Close();  // finds no window
        delete task;
    }
}

void FitLabelToText(QLabel* label) {
    // The advance of the text in the label's font, as the text is laid out.
    const QFontMetrics metrics(label->font());
    label->resize(metrics.horizontalAdvance(label->text()) + 2, metrics.height());
}
