#pragma once

#include <QUrl>

// Opens an address with the desktop's handler (web browser, mail program).
// A seam so that tests can see what would have been opened.
class KtUrlOpener {
  public:
    virtual ~KtUrlOpener() = default;
    // The result is not reported to the user.
    virtual bool Open(const QUrl& url) = 0;
};

// The real one, through QDesktopServices.
KtUrlOpener& DesktopUrlOpener();
