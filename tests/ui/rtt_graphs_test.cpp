#include "ui/rtt_graphs.h"

#include <gtest/gtest.h>

#include <memory>

#include "engine/ac_record.h"
#include "ui_test_support.h"

namespace {

constexpr QRgb kBright = qRgb(0, 255, 0);
constexpr QRgb kDark = qRgb(0, 128, 0);
constexpr QRgb kRed = qRgb(255, 0, 0);

struct Graphs {
    Graphs() {
        bar.resize(70, 100);
        line.resize(120, 80);
    }
    QApplication& app = TestApplication();
    KtBarGraph bar;
    KtLineGraph line;
};

// Lit segments read from the pixels: the first of each segment's two rows.
int LitInImage(const QImage& image) {
    int lit = 0;
    for (int i = 0; i < KtBarGraph::kSegments; ++i) {
        const QRgb pixel = image.pixel(image.width() / 2, 1 + 3 * i + 2);
        EXPECT_TRUE(pixel == kBright || pixel == kDark) << i;
        lit += pixel == kBright ? 1 : 0;
    }
    return lit;
}

int CountPixels(const QImage& image, QRgb colour, QRect area = {}) {
    if (area.isNull()) area = image.rect();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) count += image.pixel(x, y) == colour;
    }
    return count;
}

KtAcRecord Record(std::initializer_list<double> samples, bool answered) {
    KtAcRecord record;
    for (const double sample : samples) record.PushSample(sample);
    record.answered = answered;
    record.lastRtt = samples.size() > 0 ? *(samples.end() - 1) : 0.0;
    return record;
}

}  // namespace

TEST(RoundTripGraphs, BarLightsSegmentsFromTheExactTime) {
    Graphs graphs;
    // The largest time in view sets the scale (times 1.1), shared by both graphs.
    const KtAcRecord lan = Record({0.5, 0.3}, true);
    UpdateRttGraphs(graphs.bar, graphs.line, &lan);
    EXPECT_DOUBLE_EQ(graphs.bar.Scale(), 0.55);
    EXPECT_EQ(graphs.bar.Value(), 0);
    EXPECT_EQ(graphs.bar.Text(), "0.300 ms");
    // 0.3 / (0.55 / 19) = 10.4: ten segments, where the whole milliseconds gave none.
    EXPECT_EQ(LitInImage(Snapshot(graphs.bar)), 10);

    const KtAcRecord wan = Record({3.0, 1.9}, true);
    UpdateRttGraphs(graphs.bar, graphs.line, &wan);
    const QImage image = Snapshot(graphs.bar);
    EXPECT_EQ(LitInImage(image), 10);
    // The lit ones are the lowest.
    EXPECT_EQ(image.pixel(35, 57), kBright);
    EXPECT_EQ(image.pixel(35, 3), kDark);
    // Segments keep 14 pixels from either side.
    EXPECT_EQ(image.pixel(13, 57), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(14, 57), kBright);
    EXPECT_EQ(image.pixel(55, 57), kBright);
    EXPECT_EQ(image.pixel(56, 57), qRgb(0, 0, 0));
    EXPECT_GT(CountPixels(image, kBright, QRect(0, 86, 70, 14)), 0) << "green time text";
}

TEST(RoundTripGraphs, EverythingLostShowsMarksOnTheBottomLineAndNoScale) {
    Graphs graphs;
    const KtAcRecord silent = Record({-1, -1, -1}, false);
    UpdateRttGraphs(graphs.bar, graphs.line, &silent);
    EXPECT_EQ(graphs.line.CurrentScale(), 0.0);
    EXPECT_EQ(graphs.bar.Text(), "N/A");
    const QImage bar = Snapshot(graphs.bar);
    EXPECT_EQ(LitInImage(bar), 0);
    EXPECT_GT(CountPixels(bar, kRed, QRect(0, 86, 70, 14)), 0) << "red N/A";

    const QImage line = Snapshot(graphs.line);
    // One column, three rows above the bottom row, for each of the newest
    // three samples at x = 119, 117, 115.
    for (const int x : {118, 116, 114}) {
        EXPECT_EQ(CountPixels(line, kRed, QRect(x, 76, 1, 3)), 3) << x;
        EXPECT_NE(line.pixel(x, 79), kRed) << x;
    }
    EXPECT_EQ(CountPixels(line, kRed), 9);
    EXPECT_EQ(CountPixels(line, kBright), 0);

    // Times of 0 ms with nothing else in view also make a scale of 0: they
    // are drawn on the bottom line.
    const KtAcRecord zero = Record({0.0, 0.0}, true);
    UpdateRttGraphs(graphs.bar, graphs.line, &zero);
    const QImage flat = Snapshot(graphs.line);
    EXPECT_EQ(flat.pixel(118, 79), kBright);
    EXPECT_EQ(CountPixels(flat, kBright, QRect(0, 0, 120, 79)), 0);
}

TEST(RoundTripGraphs, CurveAndGridMoveTwoPixelsPerCycle) {
    Graphs graphs;
    KtAcRecord record = Record({10, 40, 25, -1, 30, 60, 20}, true);
    graphs.line.SetHistory(&record.history);
    graphs.line.SetAutomaticScale(false);
    graphs.line.SetFixedMaximum(80);
    graphs.line.SetSampleCounter(record.samples);
    const QImage before = Snapshot(graphs.line);
    record.PushSample(50);
    graphs.line.SetSampleCounter(record.samples);
    const QImage after = Snapshot(graphs.line);
    int differing = 0;
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 120 - 8; ++x) differing += after.pixel(x, y) != before.pixel(x + 2, y);
    }
    EXPECT_EQ(differing, 0);
    // Counter 8 puts the vertical grid at 120 - 16 % 12 = 116, then every 12.
    EXPECT_EQ(after.pixel(116, 5), kDark);
    EXPECT_EQ(after.pixel(104, 5), kDark);
    EXPECT_EQ(before.pixel(106, 5), kDark);
    // 50 of 80 over 80 rows: row 80 - 50 - 1.
    EXPECT_EQ(after.pixel(119, 29), kBright);

    // With the automatic scale the highest value sits at about 91 % height.
    graphs.line.SetAutomaticScale(true);
    EXPECT_DOUBLE_EQ(graphs.line.CurrentScale(), 66.0);
    EXPECT_EQ(Snapshot(graphs.line).pixel(113, 80 - 72 - 1), kBright);
}

TEST(RoundTripGraphs, GraphsFollowTheSelectionAndDropAReleasedHistory) {
    Graphs graphs;
    auto removed = std::make_unique<KtAcRecord>(Record({5, 6, 7}, true));
    const KtAcRecord kept = Record({-1, -1}, false);
    UpdateRttGraphs(graphs.bar, graphs.line, removed.get());
    EXPECT_EQ(graphs.line.History(), &removed->history);
    // Remove: the monitor window points the graphs at the next selection
    // before the record is released.
    UpdateRttGraphs(graphs.bar, graphs.line, &kept);
    removed.reset();
    EXPECT_EQ(graphs.line.History(), &kept.history);
    EXPECT_EQ(CountPixels(Snapshot(graphs.line), kRed), 6);
    // Clear: no selection, only the grid.
    UpdateRttGraphs(graphs.bar, graphs.line, nullptr);
    EXPECT_EQ(graphs.line.History(), nullptr);
    const QImage empty = Snapshot(graphs.line);
    EXPECT_EQ(CountPixels(empty, kRed) + CountPixels(empty, kBright), 0);
    EXPECT_GT(CountPixels(empty, kDark), 0);
    EXPECT_EQ(graphs.bar.Text(), "N/A");
    EXPECT_EQ(graphs.bar.Scale(), 0.0);
    // A frame set by the owner lies outside the drawing: the marks move in by one.
    graphs.line.setFrameStyle(QFrame::Box | QFrame::Plain);
    UpdateRttGraphs(graphs.bar, graphs.line, &kept);
    const QImage framed = Snapshot(graphs.line);
    EXPECT_EQ(CountPixels(framed, kRed, QRect(117, 75, 1, 3)), 3);
    EXPECT_EQ(CountPixels(framed, kRed), 6);
}
