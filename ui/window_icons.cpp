#include "ui/window_icons.h"

#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include "core/debug_output.h"

namespace {

QString IconResource(KtWindowIcon which) {
    switch (which) {
        case KtWindowIcon::Normal:
            return QStringLiteral(":/icons/linewatch-normal.svg");
        case KtWindowIcon::Alarm:
            return QStringLiteral(":/icons/linewatch-alarm.svg");
        case KtWindowIcon::Application:
            break;
    }
    return QStringLiteral(":/icons/linewatch.svg");
}

}  // namespace

QPixmap RenderWindowIcon(KtWindowIcon which, int size) {
    const QString resource = IconResource(which);
    QSvgRenderer renderer(resource);
    if (!renderer.isValid()) {
        DebugOutput("Icon " + resource.toStdString() + " cannot be drawn.\n");
        return {};
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    return QPixmap::fromImage(image);
}

QIcon LoadWindowIcon(KtWindowIcon which) {
    QIcon icon;
    for (const int size : {16, 32}) {
        const QPixmap pixmap = RenderWindowIcon(which, size);
        if (!pixmap.isNull()) icon.addPixmap(pixmap);
    }
    return icon;
}
