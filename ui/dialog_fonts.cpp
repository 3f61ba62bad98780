#include "ui/dialog_fonts.h"

#include <QGuiApplication>

namespace {

QFont DialogFontBase() {
    return QGuiApplication::font();
}

}  // namespace

const QFont& GetDialogFont() {
    static const QFont* const font = new QFont(DialogFontBase());
    return *font;
}

const QFont& GetDialogLinkFont() {
    static const QFont* const font = [] {
        auto* link = new QFont(DialogFontBase());
        link->setUnderline(true);
        return link;
    }();
    return *font;
}

const QFont& GetDialogTitleFont() {
    static const QFont* const font = [] {
        auto* title = new QFont(DialogFontBase());
        // Scale whichever height the base font carries; fractions are cut.
        if (title->pixelSize() > 0) {
            title->setPixelSize(title->pixelSize() * 5 / 4);
        } else {
            title->setPointSize(static_cast<int>(title->pointSizeF() * 1.25));
        }
        title->setWeight(QFont::Bold);
        return title;
    }();
    return *font;
}
