#pragma once

#include <QIcon>
#include <QPixmap>

enum class KtWindowIcon {
    Application,  // the program's own icon (windows, about box)
    Normal,       // monitoring, no concentrator down: green
    Alarm,        // a concentrator is down: orange
};

// The icon drawn from its SVG at 16 by 16 and 32 by 32 pixels. Call on the GUI
// thread after the QApplication exists.
QIcon LoadWindowIcon(KtWindowIcon which);

// One size of it; a null pixmap when the image cannot be drawn.
QPixmap RenderWindowIcon(KtWindowIcon which, int size);
