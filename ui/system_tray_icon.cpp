#include "ui/system_tray_icon.h"

#include <QAction>
#include <QFont>
#include <QString>

#include "text/text_ids.h"
#include "text/text_table.h"
#include "ui/window_icons.h"

namespace {

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QSystemTrayIcon::MessageIcon MessageIconOf(BalloonIcon icon) {
    switch (icon) {
        case BalloonIcon::kInformation:
            return QSystemTrayIcon::Information;
        case BalloonIcon::kWarning:
            return QSystemTrayIcon::Warning;
        case BalloonIcon::kError:
            return QSystemTrayIcon::Critical;
    }
    return QSystemTrayIcon::NoIcon;
}

// How long a fallback balloon stays up.
constexpr int kBalloonTimeoutMs = 10000;

}  // namespace

SystemTrayIcon::SystemTrayIcon(QObject* parent)
    : TrayIcon(parent),
      normal_(LoadWindowIcon(KtWindowIcon::Normal)),
      alarm_(LoadWindowIcon(KtWindowIcon::Alarm)) {
    AddCommand(kCmdTrayRestore, TextId::kTrayRestore);
    menu_.setDefaultAction(menu_.actions().constFirst());
    QFont bold = menu_.defaultAction()->font();
    bold.setBold(true);
    menu_.defaultAction()->setFont(bold);
    menu_.addSeparator();
    AddCommand(kCmdTrayChangeSettings, TextId::kTrayChangeSettings);
    menu_.addSeparator();
    AddCommand(kCmdTrayAbout, TextId::kTrayAbout);
    menu_.addSeparator();
    AddCommand(kCmdTrayExit, TextId::kTrayExit);

    // Until a concentrator answers, the alarm icon shows.
    icon_.setIcon(alarm_);
    icon_.setToolTip(FromUtf8(kTrayToolTip));
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this, &SystemTrayIcon::OnActivated);
}

SystemTrayIcon::~SystemTrayIcon() {
    icon_.hide();
}

bool SystemTrayIcon::IsAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void SystemTrayIcon::Show() {
    icon_.show();
}

void SystemTrayIcon::Hide() {
    icon_.hide();
}

void SystemTrayIcon::SetState(bool up) {
    icon_.setIcon(up ? normal_ : alarm_);
}

void SystemTrayIcon::ShowMessage(std::string_view title, BalloonIcon icon, std::string_view text) {
    icon_.showMessage(FromUtf8(title), FromUtf8(text), MessageIconOf(icon), kBalloonTimeoutMs);
}

void SystemTrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) emit Clicked();
}

void SystemTrayIcon::AddCommand(int id, int textId) {
    QAction* action = menu_.addAction(QString::fromStdString(GetText(textId)));
    connect(action, &QAction::triggered, this, [this, id] { emit CommandChosen(id); });
}
