// Every text of the shipped language files fits where it is shown, at the
// desktop's default font: the monitor window (with many ACs, so that the list
// scrolls), every options page and the about box. A cut text is found by
// measuring it against the room its widget gives it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTableView>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/program_paths.h"
#include "core/settings/app_settings.h"
#include "monitor_form_harness.h"
#include "options/option_dialogs.h"
#include "options/options_form.h"
#include "options/options_pages.h"
#include "ui/about_box.h"
#include "ui/rtt_graphs.h"

namespace {

QString Plain(QString text) {
    // A single "&" marks a shortcut and is not shown; "&&" shows one.
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text;
}

int TextWidth(const QFontMetrics& metrics, const QString& text) {
    int widest = 0;
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, metrics.horizontalAdvance(line));
    return widest;
}

std::string Describe(const QWidget* widget, const QString& text, int needed, int room) {
    return std::string(widget->metaObject()->className()) + " '" + text.toStdString() + "' needs " +
           std::to_string(needed) + " px, has " + std::to_string(room);
}

void CheckLabel(const QLabel* label, std::vector<std::string>& cut) {
    if (label->text().isEmpty()) return;
    const QRect room = label->contentsRect();
    if (label->wordWrap()) {
        const int needed = label->heightForWidth(label->width());
        if (needed > label->height())
            cut.push_back(Describe(label, label->text(), needed, label->height()) + " (height)");
        return;
    }
    // The hint counts the frame, which the contents rectangle leaves out.
    const QSize hint = label->sizeHint();
    const int width = hint.width() - (label->width() - room.width());
    const int height = hint.height() - (label->height() - room.height());
    if (width > room.width()) cut.push_back(Describe(label, label->text(), width, room.width()));
    if (height > room.height())
        cut.push_back(Describe(label, label->text(), height, room.height()) + " (height)");
}

void CheckButton(QAbstractButton* button, std::vector<std::string>& cut) {
    if (button->text().isEmpty()) return;
    const QString text = Plain(button->text());
    const int needed = TextWidth(button->fontMetrics(), text);
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QRect contents;
    if (qobject_cast<QCheckBox*>(button) != nullptr) {
        contents = button->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, button);
    } else if (qobject_cast<QRadioButton*>(button) != nullptr) {
        contents = button->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, button);
    } else if (qobject_cast<QPushButton*>(button) != nullptr) {
        contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    } else {
        return;
    }
    // Check boxes and radios draw their text with a few pixels of margin.
    if (needed > contents.width()) cut.push_back(Describe(button, text, needed, contents.width()));
}

void CheckHeader(const QHeaderView* header, std::vector<std::string>& cut) {
    if (header->orientation() != Qt::Horizontal || header->isHidden()) return;
    const QAbstractItemModel* model = header->model();
    if (model == nullptr) return;
    const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const QFontMetrics metrics(header->font());
    for (int section = 0; section < header->count(); ++section) {
        if (header->isSectionHidden(section)) continue;
        const QString text = model->headerData(section, Qt::Horizontal).toString();
        if (text.isEmpty()) continue;
        const int needed = TextWidth(metrics, text) + 2 * margin;
        if (needed > header->sectionSize(section))
            cut.push_back(Describe(header, text, needed, header->sectionSize(section)));
        const int lines = static_cast<int>(text.count(QLatin1Char('\n'))) + 1;
        if (lines * metrics.height() > header->height())
            cut.push_back(Describe(header, text, lines * metrics.height(), header->height()) +
                          " (height)");
    }
}

void CheckTree(const QTreeWidget* tree, std::vector<std::string>& cut) {
    const QFontMetrics metrics(tree->font());
    std::vector<QTreeWidgetItem*> items;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        items.push_back(tree->topLevelItem(i));
        for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j)
            items.push_back(tree->topLevelItem(i)->child(j));
    }
    for (const QTreeWidgetItem* item : items) {
        for (int column = 0; column < tree->columnCount(); ++column) {
            const QString text = item->text(column);
            if (text.isEmpty()) continue;
            const QRect rect = tree->visualItemRect(item);
            const int left =
                column == 0 ? rect.left() : tree->header()->sectionViewportPosition(column);
            const int right = column == tree->columnCount() - 1 || tree->header()->isHidden()
                                  ? tree->viewport()->width()
                                  : left + tree->columnWidth(column);
            // The item's own text margins, as the delegate draws them.
            const int margin =
                tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1;
            const int needed = metrics.horizontalAdvance(text) + 2 * margin;
            if (left + needed > right) cut.push_back(Describe(tree, text, needed, right - left));
        }
    }
}

void CheckComboBox(const QComboBox* box, std::vector<std::string>& cut) {
    if (box->currentText().isEmpty()) return;
    QStyleOptionComboBox option;
    option.initFrom(box);
    const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, box);
    const int needed = box->fontMetrics().horizontalAdvance(box->currentText());
    if (needed > field.width())
        cut.push_back(Describe(box, box->currentText(), needed, field.width()));
}

void CheckGroupBox(const QGroupBox* group, std::vector<std::string>& cut) {
    if (group->title().isEmpty()) return;
    const QString text = Plain(group->title());
    const int needed = group->fontMetrics().horizontalAdvance(text) + 16;
    if (needed > group->width()) cut.push_back(Describe(group, text, needed, group->width()));
}

void CheckMenuBar(const QMenuBar* bar, std::vector<std::string>& cut) {
    for (QAction* action : bar->actions()) {
        const QRect place = bar->actionGeometry(action);
        if (place.isEmpty() || place.right() >= bar->width())
            cut.push_back(Describe(bar, Plain(action->text()), place.right(), bar->width()));
    }
}

// Every shown text of the window that its widget cuts; none when all fit.
std::vector<std::string> CutTexts(QWidget& window) {
    std::vector<std::string> cut;
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets.prepend(&window);
    for (QWidget* widget : widgets) {
        if (!widget->isVisibleTo(&window) || widget->window() != &window) continue;
        // The widget must lie inside the window, or its text is cut by the edge.
        const QRect inWindow(widget->mapTo(&window, QPoint(0, 0)), widget->size());
        if (widget != &window && !window.rect().contains(inWindow))
            cut.push_back(std::string(widget->metaObject()->className()) + " " +
                          widget->objectName().toStdString() + " reaches past the window");
        if (auto* label = qobject_cast<QLabel*>(widget)) CheckLabel(label, cut);
        if (auto* button = qobject_cast<QAbstractButton*>(widget)) CheckButton(button, cut);
        if (auto* header = qobject_cast<QHeaderView*>(widget)) CheckHeader(header, cut);
        if (auto* tree = qobject_cast<QTreeWidget*>(widget)) CheckTree(tree, cut);
        if (auto* box = qobject_cast<QComboBox*>(widget)) CheckComboBox(box, cut);
        if (auto* group = qobject_cast<QGroupBox*>(widget)) CheckGroupBox(group, cut);
        if (auto* bar = qobject_cast<QMenuBar*>(widget)) CheckMenuBar(bar, cut);
    }
    return cut;
}

// A language folder as an installation has it, chosen through the setting.
class Languages {
  public:
    Languages() {
        const std::string folder = data_.File("linewatch/language");
        std::filesystem::create_directories(folder);
        for (const char* name : {"English.lng", "Deutsch.lng"}) {
            std::filesystem::copy_file(std::string(LW_SOURCE_DATA_DIR "/language/") + name,
                                       folder + "/" + name);
        }
        const char* old = std::getenv("XDG_DATA_DIRS");
        if (old != nullptr) saved_ = old;
        had_ = old != nullptr;
        setenv("XDG_DATA_DIRS", data_.Path().c_str(), 1);
    }
    ~Languages() {
        if (had_) {
            setenv("XDG_DATA_DIRS", saved_.c_str(), 1);
        } else {
            unsetenv("XDG_DATA_DIRS");
        }
        KtTextTable::Instance().LoadLanguageFile(LW_SOURCE_DATA_DIR "/language/English.lng");
    }

  private:
    TempFolder data_{"lwlanguages"};
    std::string saved_;
    bool had_ = false;
};

std::vector<TestOffer> Offers(int count) {
    std::vector<TestOffer> offers;
    for (int i = 0; i < count; ++i) {
        const MacAddress mac = {0x02, 0x4c, 0x57, 0x21, 0x00, static_cast<uint8_t>(i + 1)};
        offers.push_back(
            {mac, "BRAS-" + std::string(i % 3 == 0 ? "Frankfurt-Ost-" : "") + std::to_string(i + 1),
             i % 2 == 0 ? "internet" : "video", 300 + 170000 * (i % 2) + 997 * i});
    }
    return offers;
}

void SaveArtifact(QWidget& widget, const std::string& name) {
    const QString folder = QStringLiteral(LW_ARTIFACTS_DIR);
    QDir().mkpath(folder);
    widget.grab().save(folder + QLatin1Char('/') + QString::fromStdString(name));
}

std::string LanguageName(const ::testing::TestParamInfo<const char*>& param) {
    const std::string file = param.param;
    return file.substr(0, file.find('.'));
}

class TextsFit : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(TextsFit, InTheMonitorWindowWithManyAcs) {
    Languages languages;
    MonitorFormHarness h(std::string("SysLanguageFile=") + GetParam() + "\n");
    CMonitorForm& form = *h.form;
    form.show();
    QCoreApplication::processEvents();
    // At the start nothing is selected: the bar says so as after a removal.
    EXPECT_EQ(form.BarGraph()->Text(), "N/A");

    // Seven ACs: the list scrolls; every column stays in view without a
    // horizontal scroll bar at the first size.
    h.Cycle(Offers(7));
    QTableView* list = form.AcList();
    ASSERT_EQ(form.AcModel()->rowCount(), 7);
    EXPECT_TRUE(ProcessEventsUntil([list] { return list->verticalScrollBar()->isVisible(); },
                                   std::chrono::seconds(2)));
    QCoreApplication::processEvents();
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
    const QHeaderView* header = list->horizontalHeader();
    EXPECT_LE(header->sectionViewportPosition(7) + header->sectionSize(7),
              list->viewport()->width());

    // Twenty ACs, the slow one selected: its time shows whole in the bar.
    h.Cycle(Offers(20));
    list->selectRow(1);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.BarGraph()->Text().toStdString(), "171.297 ms");
    EXPECT_TRUE(form.BarGraph()->TextFits());

    // One long log line wraps: the time stamps stay in view.
    form.GetMonitor().LogWriter().WriteLine(
        {"ERROR: the capture of the adapter could not be opened again after the adapter "
         "came back; the next attempt follows at the next probe cycle, and until then no "
         "probe is sent and no offer is read on this adapter"});
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.LogBox()->horizontalScrollBar()->isVisible());

    const std::vector<std::string> cut = CutTexts(form);
    EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
    SaveArtifact(form, std::string("monitor-20-acs-") + GetParam() + ".png");

    // At the smallest size the status bar still lies inside the window.
    form.resize(form.minimumSize());
    QCoreApplication::processEvents();
    const QRect status(form.StatusText()->mapTo(&form, QPoint(0, 0)), form.StatusText()->size());
    EXPECT_TRUE(form.rect().contains(status));

    // A width the user drags stays, whatever the window does next.
    list->horizontalHeader()->resizeSection(2, 200);
    form.resize(CMonitorForm::kFirstWidth, CMonitorForm::kFirstHeight);
    QCoreApplication::processEvents();
    EXPECT_EQ(list->columnWidth(2), 200);
}

TEST_P(TextsFit, OnEveryOptionsPageAndInTheAboutBox) {
    TestApplication();
    Languages languages;
    ASSERT_TRUE(KtTextTable::Instance().LoadLanguageFile(
        std::string(LW_SOURCE_DATA_DIR "/language/") + GetParam()));
    KtAppPropertyList settings;
    for (const auto& [id, descriptor] : SettingDescriptors())
        settings.SetProperty(id, descriptor.defaultValue);
    COptionsForm form(settings, {nullptr, "02:4C:57:20:00:01"});
    form.show();
    QCoreApplication::processEvents();
    std::vector<QTreeWidgetItem*> pages;
    for (int i = 0; i < form.Tree()->topLevelItemCount(); ++i) {
        for (int j = 0; j < form.Tree()->topLevelItem(i)->childCount(); ++j)
            pages.push_back(form.Tree()->topLevelItem(i)->child(j));
    }
    ASSERT_GE(pages.size(), 5u);
    for (QTreeWidgetItem* page : pages) {
        ASSERT_TRUE(form.SelectPage(page->text(0)));
        QCoreApplication::processEvents();
        const std::vector<std::string> cut = CutTexts(form);
        EXPECT_TRUE(cut.empty()) << page->text(0).toStdString() << ": "
                                 << ::testing::PrintToString(cut);
    }

    // The dialogs the pages open.
    CDlgEditAutoStartup startup(nullptr, 1);
    CNumValEdit number(nullptr, DesktopOptionsDialogs(), 1, 100, 1);
    for (QWidget* dialog : {static_cast<QWidget*>(&startup), static_cast<QWidget*>(&number)}) {
        dialog->show();
        QCoreApplication::processEvents();
        const std::vector<std::string> cut = CutTexts(*dialog);
        EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
        dialog->hide();
    }

    KtFormAboutBox about;
    about.FillTexts(GetProgramPath());
    about.show();
    QCoreApplication::processEvents();
    const std::vector<std::string> cut = CutTexts(about);
    EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
}

INSTANTIATE_TEST_SUITE_P(Languages, TextsFit, ::testing::Values("English.lng", "Deutsch.lng"),
                         LanguageName);
