#pragma once

#include <QString>
#include <optional>

class QWidget;

// The dialogs the options pages open to ask the user something. One real
// implementation shows the Qt dialogs; tests put their own answers in.
class KtOptionsDialogs {
  public:
    virtual ~KtOptionsDialogs() = default;
    // A message box with the error icon and the application's caption.
    virtual void ShowError(QWidget* parent, const QString& text) = 0;
    // The folder browser; nothing when cancelled.
    virtual std::optional<QString> BrowseFolder(QWidget* parent, const QString& title) = 0;
    // The file-open dialog for a wave file; nothing when cancelled.
    virtual std::optional<QString> OpenSoundFile(QWidget* parent) = 0;
    // The start-up mode dialog (0 off, 1 current user, 2 all users) started at
    // mode; the chosen mode on OK, nothing on Cancel.
    virtual std::optional<int> EditStartupMode(QWidget* parent, int mode) = 0;
    // The number dialog for the PPPoE endpoints, arrows between lower and
    // upper; the confirmed number on OK, nothing on Cancel.
    virtual std::optional<int> EditNumber(QWidget* parent, int lower, int upper, int value) = 0;
};

// The dialogs the user sees.
KtOptionsDialogs& DesktopOptionsDialogs();

// Reads the integer a user typed into the number dialog: optional blanks, an
// optional sign and decimal digits, nothing else, within the 32-bit range.
// Nothing when the text is not such an integer.
std::optional<int> ReadDialogInteger(const QString& text);
