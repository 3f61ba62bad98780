#pragma once

#include <string>
#include <string_view>

#include "engine/monitor_view.h"

// Shows the monitor's balloon notices on the desktop, one at a time: a new
// notice replaces the one still showing.
class DesktopNotifier {
  public:
    virtual ~DesktopNotifier() = default;
    virtual void Notify(std::string_view title, BalloonIcon icon, std::string_view text) = 0;
};

// Notification urgency of the balloon icon: information is low (0), a
// warning normal (1), an error critical (2).
unsigned char NotificationUrgency(BalloonIcon icon);

// A notification body as plain text: notification servers read the body as
// markup, and an AC-Name can carry some, so "&", "<" and ">" are escaped.
std::string EscapeNotificationBody(std::string_view text);
