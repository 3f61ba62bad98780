#pragma once

#include <QString>

class QWidget;

// The message boxes the connection dialogs show, behind one seam so that
// tests can answer them. The dialogs and commands take the boxes they show;
// the desktop's are KtQtMessageBoxes.
class KtMessageBoxes {
  public:
    virtual ~KtMessageBoxes() = default;
    // An error box with OK.
    virtual void ShowError(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A question box with Yes and No; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) = 0;
};

class KtQtMessageBoxes final : public KtMessageBoxes {
  public:
    void ShowError(QWidget* parent, const QString& caption, const QString& text) override;
    bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) override;
};

// The boxes the user sees.
KtMessageBoxes& DesktopMessageBoxes();
