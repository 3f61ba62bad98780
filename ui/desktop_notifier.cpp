#include "ui/desktop_notifier.h"

unsigned char NotificationUrgency(BalloonIcon icon) {
    switch (icon) {
        case BalloonIcon::kInformation:
            return 0;
        case BalloonIcon::kWarning:
            return 1;
        case BalloonIcon::kError:
            return 2;
    }
    return 1;
}

std::string EscapeNotificationBody(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}
