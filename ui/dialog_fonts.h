#pragma once

#include <QFont>

// Fonts shared by the dialogs, made on first use from the application's default
// GUI font and kept for the run. Call them on the GUI thread after the
// QApplication exists.
const QFont& GetDialogFont();
// The dialog font underlined (links).
const QFont& GetDialogLinkFont();
// The dialog font 1.25 times as high (truncated) and bold (captions).
const QFont& GetDialogTitleFont();
