#pragma once

#include <QLabel>

#include "core/threads/functors.h"
#include "ui/colour_ref.h"

// A text that acts as a link: dark blue, orange while the mouse is over it, and
// a click action run when the left button is released over it. Button presses
// and double clicks are swallowed. Its text is plain text.
class KtStaticLink : public QLabel {
    Q_OBJECT

  public:
    explicit KtStaticLink(QWidget* parent = nullptr);

    // Not owned; null runs Clicked() instead.
    void SetClickAction(KtNullaryFunction<void>* action) { clickAction_ = action; }
    bool Hovering() const { return hovering_; }
    ColourRef CurrentTextColour() const { return hovering_ ? hoverColour_ : normalColour_; }

  signals:
    // Released over the link without a click action.
    void Clicked();

  protected:
    void enterEvent(QEnterEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void SetHovering(bool hovering);

    KtNullaryFunction<void>* clickAction_ = nullptr;
    ColourRef hoverColour_ = kColourOrange;
    ColourRef normalColour_ = kColourDarkBlue;
    bool hovering_ = false;
};
