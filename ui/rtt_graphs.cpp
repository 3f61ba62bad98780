#include "ui/rtt_graphs.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "engine/ac_record.h"
#include "engine/number_text.h"

namespace {

constexpr int kGridStep = 12;
constexpr int kPixelsPerSample = 2;
constexpr int kFirstSegmentY = 1;
constexpr int kSegmentStep = 3;
constexpr int kBarMargin = 14;
// A segment at y is lit when y > kLitLimit - 3 * lit: the lit ones are the lowest.
constexpr int kLitLimit = 57;
constexpr int kTextHeight = 14;
constexpr double kScaleHeadroom = 1.1;

void SetBackground(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    widget->setBackgroundRole(QPalette::Window);
    widget->setAutoFillBackground(true);
}

}  // namespace

KtGraph::KtGraph(QWidget* parent) : QFrame(parent) {
    SetBackground(this, palette().color(QPalette::Button));
    setCursor(Qt::ArrowCursor);
}

QSize KtGraph::BeginCanvas(QPainter& painter) {
    drawFrame(&painter);
    const QRect area = contentsRect();
    painter.translate(area.topLeft());
    painter.setClipRect(QRect(QPoint(0, 0), area.size()));
    painter.fillRect(QRect(QPoint(0, 0), area.size()), ColourFromRef(kColourBlack));
    return area.size();
}

KtBarGraph::KtBarGraph(QWidget* parent) : KtGraph(parent) {
    SetBackground(this, ColourFromRef(kColourBlack));
}

void KtBarGraph::SetValue(double value) {
    exactValue_ = std::isfinite(value) ? value : 0.0;
    value_ = static_cast<int64_t>(std::clamp(exactValue_, -9.0e18, 9.0e18));
    update();
}

void KtBarGraph::SetScale(double scale) {
    scale_ = std::isfinite(scale) ? scale : 0.0;
    update();
}

void KtBarGraph::SetTextColour(ColourRef colour) {
    textColour_ = colour;
    update();
}

void KtBarGraph::SetText(const QString& text) {
    text_ = text;
    setAccessibleName(text);
    update();
}

int KtBarGraph::LitSegments() const {
    const double segmentSize = scale_ / kSegments;
    // A scale of 0 or less (nothing answered in view) lights nothing.
    if (segmentSize <= 0.0 || exactValue_ <= 0.0) return 0;
    return static_cast<int>(std::min(exactValue_ / segmentSize, double{kSegments}));
}

void KtBarGraph::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QSize canvas = BeginCanvas(painter);
    const int width = canvas.width();
    const int height = canvas.height();
    const int lit = LitSegments();
    const QColor dark = ColourFromRef(kColourDarkGreen);
    const QColor bright = ColourFromRef(kColourGreen);
    bool brightPen = false;
    for (int i = 0; i < kSegments; ++i) {
        const int y = kFirstSegmentY + kSegmentStep * i;
        if (y > kLitLimit - kSegmentStep * lit) {
            brightPen = true;
        }
        // Two rows, inset 14 pixels from each side.
        painter.fillRect(QRect(kBarMargin, y + 2, width - 2 * kBarMargin, 2),
                         brightPen ? bright : dark);
    }
    painter.setPen(ColourFromRef(textColour_));
    const QFont textFont = TextFont();
    painter.setFont(textFont);
    // The lowest 14 pixels, or the font's height where that is taller.
    const int textHeight = std::max(kTextHeight, QFontMetrics(textFont).height());
    painter.drawText(QRect(0, height - textHeight, width, textHeight),
                     Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine, text_);
}

QFont KtBarGraph::TextFont() const {
    QFont fitted = font();
    const int room = contentsRect().width();
    // Down to 6 points, or 8 pixels for a font sized in pixels.
    while (QFontMetrics(fitted).horizontalAdvance(text_) > room) {
        if (fitted.pixelSize() > 8) {
            fitted.setPixelSize(fitted.pixelSize() - 1);
        } else if (fitted.pixelSize() <= 0 && fitted.pointSizeF() > 6.0) {
            fitted.setPointSizeF(std::max(6.0, fitted.pointSizeF() - 0.5));
        } else {
            break;
        }
    }
    return fitted;
}

bool KtBarGraph::TextFits() const {
    const QFontMetrics metrics(TextFont());
    const QRect room = contentsRect();
    // The segments end at y = 58; the text has the rest of the height.
    const int below = room.height() - (kLitLimit + 1);
    return metrics.horizontalAdvance(text_) <= room.width() && metrics.height() <= below;
}

KtLineGraph::KtLineGraph(QWidget* parent) : KtGraph(parent) {
    SetBackground(this, ColourFromRef(kColourBlack));
}

void KtLineGraph::SetHistory(const KtRttHistory* history) {
    history_ = history;
    update();
}

void KtLineGraph::SetSampleCounter(int counter) {
    sampleCounter_ = counter;
    update();
}

void KtLineGraph::SetFixedMaximum(double maximum) {
    fixedMaximum_ =
        static_cast<int>(std::clamp(std::isfinite(maximum) ? maximum : 0.0, -1.0e9, 1.0e9));
    update();
}

void KtLineGraph::SetAutomaticScale(bool automatic) {
    automaticScale_ = automatic;
    update();
}

double KtLineGraph::ComputeAutomaticScale(int width) {
    double largest = 0.0;
    const uint32_t count = history_->Count();
    const uint32_t inView =
        std::min<uint32_t>(count, static_cast<uint32_t>(std::max(width, 0) / 2 + 1));
    for (uint32_t i = count - inView; i < count; ++i)
        largest = std::max(largest, history_->ValueAt(i));
    computedMaximum_ = largest * kScaleHeadroom;
    return computedMaximum_;
}

double KtLineGraph::CurrentScale() {
    if (history_ == nullptr) return 0.0;
    return ComputeAutomaticScale(contentsRect().width());
}

void KtLineGraph::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const QSize canvas = BeginCanvas(painter);
    const int width = canvas.width();
    const int height = canvas.height();
    // The vertical grid moves 2 pixels left per probe cycle, in step with the curve.
    const int offset =
        static_cast<int>((static_cast<int64_t>(sampleCounter_) * kPixelsPerSample) % kGridStep);
    painter.setPen(ColourFromRef(kColourDarkGreen));
    for (int x = width - offset; x >= 0; x -= kGridStep) painter.drawLine(x, 0, x, height - 1);
    for (int y = 0; y <= height; y += kGridStep) painter.drawLine(0, y, width - 1, y);
    if (history_ == nullptr) return;

    ComputeAutomaticScale(width);
    const double scale = automaticScale_ ? computedMaximum_ : fixedMaximum_;
    const auto yOf = [&](double value) {
        // With a scale of 0 or less (every value in view lost, or all 0 ms)
        // everything sits on the bottom line instead of dividing by zero.
        if (scale <= 0.0) return height - 1;
        const double units = std::clamp(value * height / scale, -1.0e6, 1.0e6);
        return height - static_cast<int>(units) - 1;
    };
    const QColor linePen = ColourFromRef(kColourGreen);
    const QColor lossPen = ColourFromRef(kColourRed);
    double previous = -1.0;
    int x = width - 1;
    for (uint32_t i = history_->Count(); i-- > 0 && x >= 0; x -= kPixelsPerSample) {
        const double value = history_->ValueAt(i);
        if (value >= 0.0) {
            painter.setPen(linePen);
            painter.drawLine(x, yOf(previous < 0.0 ? value : previous), x - kPixelsPerSample,
                             yOf(value));
            previous = value;
        } else {
            // A short mark on the bottom line: one column, three rows.
            painter.fillRect(QRect(x - 1, height - 4, 1, 3), lossPen);
            previous = -1.0;
        }
    }
}

void UpdateRttGraphs(KtBarGraph& bar, KtLineGraph& line, const KtAcRecord* selected) {
    if (selected == nullptr) {
        line.SetHistory(nullptr);
        line.SetSampleCounter(0);
    } else {
        line.SetHistory(&selected->history);
        line.SetSampleCounter(selected->samples);
    }
    line.SetAutomaticScale(true);
    if (selected != nullptr && selected->answered) {
        bar.SetValue(selected->lastRtt);
        bar.SetTextColour(kColourGreen);
        bar.SetText(QString::fromStdString(FormatFixed(selected->lastRtt, 3) + " ms"));
    } else {
        bar.SetValue(0.0);
        bar.SetTextColour(kColourRed);
        bar.SetText(QStringLiteral("N/A"));
    }
    bar.SetScale(line.CurrentScale());
}
