#include "ui/static_link.h"

#include <QMouseEvent>

KtStaticLink::KtStaticLink(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setMouseTracking(true);
    // The background is left as it is; only the text colour changes.
    setAutoFillBackground(false);
    SetHovering(false);
}

void KtStaticLink::SetHovering(bool hovering) {
    hovering_ = hovering;
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, ColourFromRef(CurrentTextColour()));
    setPalette(colours);
    update();
}

void KtStaticLink::enterEvent(QEnterEvent* /*event*/) {
    if (!hovering_) SetHovering(true);
}

void KtStaticLink::mouseMoveEvent(QMouseEvent* /*event*/) {
    if (!hovering_) SetHovering(true);
}

void KtStaticLink::leaveEvent(QEvent* /*event*/) {
    if (hovering_) SetHovering(false);
}

void KtStaticLink::mousePressEvent(QMouseEvent* event) {
    event->accept();
}

void KtStaticLink::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}

void KtStaticLink::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) return;
    if (clickAction_ != nullptr) {
        clickAction_->Invoke();
    } else {
        emit Clicked();
    }
}
