#pragma once

#include <QMainWindow>

class KtTaskWindowed;

// Base of the program's top-level windows that belong to a task. The window
// deletes itself when closed; its destruction takes its task out of the task
// registry and deletes the task, so neither side is left pointing at the other.
class KtFormBase : public QMainWindow {
    Q_OBJECT

  public:
    explicit KtFormBase(QWidget* parent = nullptr);
    ~KtFormBase() override;

    void SetOwnerTask(KtTaskWindowed* task) { ownerTask_ = task; }
    void ClearOwnerTask() { ownerTask_ = nullptr; }
    KtTaskWindowed* OwnerTask() const { return ownerTask_; }

  private:
    KtTaskWindowed* ownerTask_ = nullptr;
};

class QLabel;

// Resizes the label to its text measured in its font: the text's width plus 2
// pixels by the text's height, keeping its position.
void FitLabelToText(QLabel* label);
