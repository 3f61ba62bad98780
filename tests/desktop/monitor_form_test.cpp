#include "desktop/monitor_form.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAccessible>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTextBlock>
#include <QToolBar>
#include <QToolButton>
#include <fstream>
#include <thread>

#include "monitor_form_harness.h"
#include "ui/about_box.h"
#include "ui/rtt_graphs.h"
#include "text/text_table.h"

namespace {

using namespace MonitorId;

constexpr MacAddress kAc1Mac = {0x00, 0x1b, 0x21, 0x0a, 0x4c, 0x5e};
constexpr MacAddress kAc2Mac = {0x02, 0x4c, 0x57, 0x20, 0x0a, 0x02};
const TestOffer kAc1{kAc1Mac, "access1", "internet", 12346};
const TestOffer kAc2{kAc2Mac, "<b>access2</b>", "video", 800};

QStringList Headers(const QAbstractItemModel& model, int role) {
    QStringList headers;
    for (int c = 0; c < model.columnCount(); ++c)
        headers << model.headerData(c, Qt::Horizontal, role).toString();
    return headers;
}

QStringList LogLines(const QPlainTextEdit& box) {
    return box.toPlainText().split('\n');
}

bool Enabled(CMonitorForm& form, int id) {
    const auto actions = form.Actions(id);
    bool all = !actions.empty();
    for (QAction* action : actions) all = all && action->isEnabled();
    return all;
}

// Puts the built-in texts back (the table is process-wide).
void RestoreEnglishTexts() {
    ASSERT_TRUE(
        KtTextTable::Instance().LoadLanguageFile(LW_SOURCE_DATA_DIR "/language/English.lng"));
}

}  // namespace

TEST(MonitorWindow, ShowsTheControlsColumnsAndRowsAsTheUserSeesThem) {
    MonitorFormHarness h;
    CMonitorForm& form = *h.form;

    EXPECT_EQ(form.windowTitle(), "Line Watchman");
    EXPECT_EQ(form.minimumSize(), QSize(500, 400));
    EXPECT_EQ(form.size(), QSize(590, 450));
    EXPECT_FALSE(form.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(form.ShowsAlarmIcon());

    // Menus by position and commands by id.
    QStringList menus;
    for (int i = 0; i < 5; ++i) menus << form.TopMenu(i)->text();
    EXPECT_EQ(menus, QStringList({"File", "View", "Connection", "Options", "Help"}));
    EXPECT_EQ(form.Actions(kMenuExit).at(0)->text(), "Exit");
    EXPECT_EQ(form.Actions(kMenuRediscover).at(0)->text(), "Rediscover access concentrators");
    EXPECT_EQ(form.Actions(kMenuRemove).at(0)->text(), "Remove access concentrator");
    EXPECT_EQ(form.Actions(kMenuCreateConnection).at(0)->text(), "Create new connection");
    EXPECT_EQ(form.Actions(kMenuSettings).at(0)->text(), "Settings");
    EXPECT_EQ(form.Actions(kMenuAbout).at(0)->text(), "About");

    // Toolbar: 121, 123, a separator, 124 with its drop-down; no texts, but
    // each button is named for screen readers.
    const QList<QAction*> tools = form.Toolbar()->actions();
    ASSERT_EQ(tools.size(), 4);
    EXPECT_EQ(tools[0]->data().toInt(), kToolbarRediscover);
    EXPECT_EQ(tools[1]->data().toInt(), kToolbarRemove);
    EXPECT_TRUE(tools[2]->isSeparator());
    EXPECT_EQ(tools[3]->data().toInt(), kToolbarConnect);
    auto* connect = qobject_cast<QToolButton*>(form.Toolbar()->widgetForAction(tools[3]));
    ASSERT_NE(connect, nullptr);
    EXPECT_EQ(connect->popupMode(), QToolButton::MenuButtonPopup);
    EXPECT_EQ(form.Toolbar()->widgetForAction(tools[0])->accessibleName(),
              "Rediscover access concentrators");
    EXPECT_EQ(form.Toolbar()->widgetForAction(tools[1])->accessibleName(), "Remove");
    for (QAction* tool : tools) EXPECT_TRUE(tool->text().isEmpty());

    EXPECT_EQ(form.AdapterLabel()->text(), "Network interface:");
    EXPECT_EQ(form.AdapterBox()->accessibleName(), "Network interface:");
    EXPECT_EQ(form.AcList()->accessibleName(), "Access concentrators");
    EXPECT_EQ(form.LogBox()->accessibleName(), "Log");
    EXPECT_EQ(form.AdapterBox()->currentText(), "No Ethernet adapters available");
    EXPECT_FALSE(form.AdapterBox()->isEnabled());
    for (QLabel* label : form.findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();

    // Columns: texts, widths and alignment. Screen readers get whole titles;
    // the header may break a title into lines where the list is narrow.
    EXPECT_EQ(Headers(*form.AcModel(), Qt::AccessibleTextRole),
              QStringList({"St", "MAC Address", "AC Name", "Service Name", "RTT, ms", "Pkt send",
                           "Pkt recv", "Pkt loss"}));
    EXPECT_EQ(Headers(*form.AcModel(), Qt::DisplayRole).join(' ').replace('\n', ' '),
              Headers(*form.AcModel(), Qt::AccessibleTextRole).join(' '));
    const int widths[] = {22, 109, 125, 78, 53, 53, 52, 52};
    const QFontMetrics metrics(form.AcList()->horizontalHeader()->font());
    int total = 0;
    for (int c = 0; c < 8; ++c) {
        // A column grows only where the font needs it: the MAC column for a
        // whole address, the numbers for theirs, every one for its title.
        // The name columns give way so that all stay within the list.
        total += form.AcList()->columnWidth(c);
        if (c == 1) {
            EXPECT_GT(form.AcList()->columnWidth(c),
                      metrics.horizontalAdvance("DD:DD:DD:DD:DD:DD"));
        }
        if (c == 2 || c == 3) {
            EXPECT_GE(form.AcList()->columnWidth(c),
                      metrics.horizontalAdvance(KtAcTableModel::Title(c)));
        } else {
            EXPECT_GE(form.AcList()->columnWidth(c), widths[c]) << c;
        }
        if (c > 3) {
            EXPECT_GT(form.AcList()->columnWidth(c),
                      metrics.horizontalAdvance(c == 4 ? "9999.999" : "999999"));
        }
    }
    EXPECT_LE(total, form.AcList()->maximumViewportSize().width());

    // The banner line opens the log box; no adapter, so nothing monitors.
    EXPECT_TRUE(LogLines(*form.LogBox()).at(0).contains("Line Watchman v1.1.7."));
    EXPECT_EQ(form.StatusText()->text(), "Inactive");

    h.Cycle({kAc1, kAc2});
    ASSERT_EQ(form.AcModel()->rowCount(), 2);
    EXPECT_EQ(h.Cell(0, 1), "00:1B:21:0A:4C:5E");
    EXPECT_EQ(h.Cell(0, 2), "access1");
    EXPECT_EQ(h.Cell(0, 3), "internet");
    EXPECT_EQ(h.Cell(0, 4), "12.346");
    EXPECT_EQ(h.Cell(0, 5), "1");
    EXPECT_EQ(h.Cell(0, 6), "1");
    EXPECT_EQ(h.Cell(0, 7), "0");
    EXPECT_EQ(h.Cell(1, 2), "<b>access2</b>");
    EXPECT_EQ(h.Cell(1, 4), "0.800");
    const QModelIndex rtt = form.AcModel()->index(0, 4);
    EXPECT_EQ(rtt.data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignRight | Qt::AlignVCenter));
    EXPECT_EQ(form.AcModel()->index(0, 1).data(Qt::TextAlignmentRole).toInt(),
              int(Qt::AlignLeft | Qt::AlignVCenter));
    EXPECT_FALSE(form.AcModel()->index(0, 0).data(Qt::DecorationRole).isNull());

    // AC NEW selected the first row: the caption has two spaces between MAC
    // and AC-Name, the graphs show its history, and the icon is normal.
    EXPECT_EQ(form.GraphGroup()->title(), "00:1B:21:0A:4C:5E  access1");
    EXPECT_EQ(form.AcList()->selectionModel()->selectedRows().at(0).row(), 0);
    EXPECT_EQ(form.LineGraph()->History(), &form.GetMonitor().Rows()[0]->history);
    EXPECT_EQ(form.BarGraph()->Text(), "12.346 ms");
    EXPECT_FALSE(form.ShowsAlarmIcon());
    EXPECT_TRUE(form.LogBox()->toPlainText().contains("AC: NEW:  00:1B:21:0A:4C:5E access1"));

    // The user selects the second row: the caption follows, plain text.
    form.AcList()->selectRow(1);
    EXPECT_EQ(form.GraphGroup()->title(), "02:4C:57:20:0A:02  <b>access2</b>");
    EXPECT_EQ(form.LineGraph()->History(), &form.GetMonitor().Rows()[1]->history);

    // An unanswered probe shows "N/A" and counts the loss.
    h.Cycle({kAc1});
    EXPECT_EQ(h.Cell(1, 4), "N/A");
    EXPECT_EQ(h.Cell(1, 5), "2");
    EXPECT_EQ(h.Cell(1, 7), "1");
    EXPECT_EQ(form.BarGraph()->Text(), "N/A");
    EXPECT_EQ(h.Cell(0, 4), "12.346");
}

TEST(MonitorWindow, ShowsNamesFromTheNetworkAsTheyAreAndTakesNoShortcutFromThem) {
    MonitorFormHarness h;
    CMonitorForm& form = *h.form;
    form.show();
    const TestOffer rd{{0x02, 0x4c, 0x57, 0x20, 0x0a, 0x07}, "R&D", "a&b", 900};
    h.Cycle({rd});
    ASSERT_EQ(form.GetMonitor().SelectedRow(), 0);
    EXPECT_EQ(h.Cell(0, 2), "R&D");
    // The caption shows "R&D" whole: no underlined letter, no Alt+D.
    const QString title = form.GraphGroup()->title();
    EXPECT_TRUE(QKeySequence::mnemonic(title).isEmpty()) << title.toStdString();
    EXPECT_EQ(QString(title).replace("&&", "&"), "02:4C:57:20:0A:07  R&D");
    EXPECT_EQ(form.GraphGroup()->accessibleName(), "02:4C:57:20:0A:07  R&D");
    // Nothing else in the window takes a shortcut from a name either.
    for (QWidget* widget : form.findChildren<QWidget*>()) {
        QString text;
        if (auto* group = qobject_cast<QGroupBox*>(widget)) text = group->title();
        if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) text = button->text();
        const QKeySequence key = QKeySequence::mnemonic(text);
        EXPECT_TRUE(key.isEmpty() || !text.contains("R&D")) << text.toStdString();
    }
}

TEST(MonitorWindow, CommandStatesFollowTheSelectionThroughRemoveAndClear) {
    MonitorFormHarness h;
    CMonitorForm& form = *h.form;
    // Nothing selected: the Remove and the connection commands are off.
    for (int id : {kToolbarRemove, kMenuRemove, kToolbarConnect, kMenuCreateConnection})
        EXPECT_FALSE(Enabled(form, id)) << id;
    EXPECT_TRUE(Enabled(form, kMenuRediscover));
    EXPECT_TRUE(Enabled(form, kToolbarRediscover));
    EXPECT_TRUE(Enabled(form, kMenuAbout));
    form.OnCommand(kMenuRemove);  // does nothing with no selection
    EXPECT_EQ(form.AcModel()->rowCount(), 0);

    h.Cycle({kAc1, kAc2});
    EXPECT_TRUE(Enabled(form, kToolbarRemove));
    EXPECT_TRUE(Enabled(form, kMenuRemove));
    EXPECT_TRUE(Enabled(form, kToolbarConnect));
    EXPECT_TRUE(Enabled(form, kMenuCreateConnection));

    // The toolbar button and the menu item run the same command.
    form.Actions(kToolbarRemove).at(0)->trigger();
    ASSERT_EQ(form.AcModel()->rowCount(), 1);
    EXPECT_EQ(h.Cell(0, 2), "<b>access2</b>");
    EXPECT_FALSE(Enabled(form, kToolbarRemove));
    EXPECT_FALSE(Enabled(form, kMenuRemove));
    EXPECT_FALSE(Enabled(form, kToolbarConnect));
    EXPECT_TRUE(form.AcList()->selectionModel()->selectedRows().isEmpty());
    EXPECT_EQ(form.LineGraph()->History(), nullptr);
    EXPECT_EQ(form.GraphGroup()->title(), "");

    form.AcList()->selectRow(0);
    EXPECT_TRUE(Enabled(form, kMenuRemove));
    form.Actions(kMenuRemove).at(0)->trigger();
    EXPECT_EQ(form.AcModel()->rowCount(), 0);
    EXPECT_FALSE(Enabled(form, kMenuRemove));

    h.Cycle({kAc1, kAc2});
    EXPECT_TRUE(Enabled(form, kMenuRemove));
    form.GetMonitor().ClearTable();
    EXPECT_EQ(form.AcModel()->rowCount(), 0);
    EXPECT_FALSE(Enabled(form, kMenuRemove));
    EXPECT_FALSE(Enabled(form, kToolbarRemove));
    EXPECT_EQ(form.LineGraph()->History(), nullptr);
    EXPECT_TRUE(form.ShowsAlarmIcon());
}

TEST(MonitorWindow, RowsUpdateInPlaceWithoutResettingTheModel) {
    MonitorFormHarness h;
    int resets = 0;
    int inserted = 0;
    int changed = 0;
    QObject::connect(h.form->AcModel(), &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(
        h.form->AcModel(), &QAbstractItemModel::rowsInserted,
        [&](const QModelIndex&, int first, int last) { inserted += last - first + 1; });
    QObject::connect(h.form->AcModel(), &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex& from, const QModelIndex& to) {
                         EXPECT_EQ(from.row(), to.row());  // one row at a time
                         ++changed;
                     });
    for (int i = 0; i < 3; ++i) h.Cycle({kAc1, kAc2});
    EXPECT_EQ(resets, 0);
    EXPECT_EQ(inserted, 2);
    EXPECT_GT(changed, 0);
    EXPECT_EQ(h.Cell(0, 5), "3");
    EXPECT_EQ(h.Cell(1, 6), "3");
}

TEST(MonitorWindow, LogBoxKeepsTheNewestTenThousandLinesAndTakesLinesFromOtherThreads) {
    MonitorFormHarness h;
    KtLogWriter& writer = h.form->GetMonitor().LogWriter();
    for (int i = 0; i < CMonitorForm::kMaxLogLines + 50; ++i)
        writer.WriteLine({"line ", std::to_string(i)});
    QPlainTextEdit& box = *h.form->LogBox();
    EXPECT_EQ(box.document()->blockCount(), CMonitorForm::kMaxLogLines);
    // The banner and the oldest lines are gone; the newest is last.
    EXPECT_TRUE(box.document()->firstBlock().text().endsWith("line 50"));
    EXPECT_TRUE(box.document()->lastBlock().text().endsWith("line 10049"));

    // A line written by another thread reaches the box through the port, on
    // this thread, once the queued drain runs.
    std::thread other([&] { writer.WriteLine({"from the receive thread"}); });
    other.join();
    EXPECT_FALSE(box.document()->lastBlock().text().endsWith("from the receive thread"));
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return box.document()->lastBlock().text().endsWith("from the receive thread"); }));
    EXPECT_EQ(box.document()->blockCount(), CMonitorForm::kMaxLogLines);
}

TEST(MonitorWindow, LanguageFileOverridesTitleMenuAndColumn) {
    TestApplication();  // the built-in texts first
    TempFolder folder("lwlang");
    const std::string path = folder.File("Test.lng");
    std::ofstream(path) << "[MonitorForm]\n301=Leitungswächter\n317=Datei\n306=AC-Bezeichnung\n";
    ASSERT_TRUE(KtTextTable::Instance().LoadLanguageFile(path));
    {
        MonitorFormHarness h;
        EXPECT_EQ(h.form->windowTitle(), QString::fromUtf8("Leitungswächter"));
        EXPECT_EQ(h.form->TopMenu(0)->text(), "Datei");
        EXPECT_EQ(h.form->TopMenu(1)->text(), "View");
        EXPECT_EQ(h.form->AcModel()->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(),
                  "AC-Bezeichnung");
        EXPECT_EQ(h.form->AcModel()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
                  "MAC Address");
    }
    RestoreEnglishTexts();
}

TEST(MonitorWindow, ClosingClosesTheAboutBoxFirst) {
    MonitorFormHarness h;
    h.form->OnCommand(kMenuAbout);
    KtTaskRegistry& registry = KtTaskRegistry::Get();
    auto* about = registry.FindOrCreate<KtTaskAbout>("AboutBox");
    QPointer<KtFormAboutBox> box = about->AboutBox();
    ASSERT_FALSE(box.isNull());
    EXPECT_TRUE(h.form->close());
    EXPECT_TRUE(box.isNull());
    EXPECT_FALSE(registry.Contains(about));
    EXPECT_FALSE(h.form->GetMonitor().IsMonitoring());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(h.form.isNull());
}
