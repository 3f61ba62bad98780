#include "ui/tray_icon.h"

// The signals of the interface are generated for this file (moc).
