#include "ui/url_opener.h"

#include <QDesktopServices>

namespace {

class DesktopServicesOpener final : public KtUrlOpener {
  public:
    bool Open(const QUrl& url) override { return QDesktopServices::openUrl(url); }
};

}  // namespace

KtUrlOpener& DesktopUrlOpener() {
    static DesktopServicesOpener opener;
    return opener;
}
