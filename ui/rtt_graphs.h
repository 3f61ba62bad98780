#pragma once

#include <QFrame>
#include <QPainter>
#include <QString>
#include <cstdint>

#include "ui/colour_ref.h"

class KtRttHistory;
struct KtAcRecord;

// Base of the two round-trip graphs: a child widget that paints itself from the
// values it was given. Painting uses the contents rectangle, so a frame set by
// the owner (the monitor window's sunken edge) lies outside the drawing.
class KtGraph : public QFrame {
    Q_OBJECT

  public:
    explicit KtGraph(QWidget* parent = nullptr);

  protected:
    // Draws the frame, then moves the painter into the contents, clips it there
    // and fills it black. Returns the size of the contents.
    QSize BeginCanvas(QPainter& painter);
};

// A vertical meter of 19 segments with the latest round-trip time as text.
class KtBarGraph : public KtGraph {
    Q_OBJECT

  public:
    static constexpr int kSegments = 19;

    explicit KtBarGraph(QWidget* parent = nullptr);

    // The value in milliseconds. The lit segments follow the exact value, so
    // that answers below one millisecond light segments too.
    void SetValue(double value);
    void SetScale(double scale);
    void SetTextColour(ColourRef colour);
    // The text under the bar (plain text).
    void SetText(const QString& text);

    int64_t Value() const { return value_; }
    double Scale() const { return scale_; }
    const QString& Text() const { return text_; }
    // Number of lit segments for the present value and scale.
    int LitSegments() const;
    // The font the text is drawn in: the widget's, made smaller where the
    // text would not fit the bar's width (a time of 100 ms or more).
    QFont TextFont() const;
    // Whether the text, drawn in TextFont, fits the bar whole.
    bool TextFits() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ColourRef textColour_ = kColourBlack;
    int64_t value_ = 0;  // whole milliseconds, as the owner's value truncated
    double exactValue_ = 0.0;
    double scale_ = 100.0;
    QString text_;
};

// A chart of a round-trip history scrolling 2 pixels per probe cycle, lost
// probes marked red on the bottom line.
class KtLineGraph : public KtGraph {
    Q_OBJECT

  public:
    explicit KtLineGraph(QWidget* parent = nullptr);

    // The history to draw, not owned; null for none. The owner points the
    // graph at another history or none before the one shown is released.
    void SetHistory(const KtRttHistory* history);
    void SetSampleCounter(int counter);
    void SetFixedMaximum(double maximum);
    void SetAutomaticScale(bool automatic);

    const KtRttHistory* History() const { return history_; }
    // The automatic scale for the present width: the largest of the newest
    // width / 2 + 1 values times 1.1; 0 without a history.
    double CurrentScale();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double ComputeAutomaticScale(int width);

    bool automaticScale_ = false;
    int sampleCounter_ = 0;
    const KtRttHistory* history_ = nullptr;
    int fixedMaximum_ = 100;
    double computedMaximum_ = 0.0;
};

// Shows the selected concentrator in both graphs (null: none): its history,
// sample count and automatic scale in the line graph; its last round-trip time
// in green, or "N/A" in red when its last probe went unanswered, in the bar;
// then the bar takes the line graph's scale so both share one. The monitor
// window calls this whenever the selection changes and after every change that
// releases records (Remove, Clear, another adapter), so the line graph never
// keeps a released history.
void UpdateRttGraphs(KtBarGraph& bar, KtLineGraph& line, const KtAcRecord* selected);
