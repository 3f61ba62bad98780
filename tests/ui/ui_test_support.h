#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

#include "text/builtin_texts.h"
#include "text/text_table.h"

// The one QApplication of the test run (platform from QT_QPA_PLATFORM, set to
// offscreen by the build), with the built-in texts in the process table.
inline QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* const app = [] {
        auto* created = new QApplication(argc, argv);
        KtTextTable::Instance().Initialise(BuiltInTexts());
        return created;
    }();
    return *app;
}

// What the widget shows, painted into an image of its own size.
inline QImage Snapshot(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}
