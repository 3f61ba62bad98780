#include "desktop/monitor_form.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>
#include <string_view>

#include "core/program_paths.h"
#include "engine/capture_permission.h"
#include "engine/linewatch.h"
#include "engine/net_watch_media.h"
#include "text/text_ids.h"
#include "text/text_table.h"
#include "ui/ac_table_model.h"
#include "ui/dialog_fonts.h"
#include "ui/rtt_graphs.h"
#include "ui/window_icons.h"

namespace {

using namespace MonitorId;

constexpr int kToolbarImageSize = 19;
constexpr int kToolbarButtonSize = 26;
constexpr int kStatusHeight = 25;
constexpr int kStatusFirstPartWidth = 270;

// Rectangle from left, top, right and bottom, as the layout gives them.
QRect Box(int left, int top, int right, int bottom) {
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

QString Text(int id) {
    return QString::fromStdString(GetText(id));
}

// The toolbar's images, in image-list order: 0 rediscover (two arrows in a
// circle), 1 connect (a plug), 2 remove (a red cross).
QIcon ToolbarImage(int index) {
    QPixmap pixmap(kToolbarImageSize, kToolbarImageSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    switch (index) {
        case 0: {
            painter.setPen(QPen(QColor(0, 110, 40), 2.2));
            painter.drawArc(QRectF(3, 3, 13, 13), 30 * 16, 150 * 16);
            painter.drawArc(QRectF(3, 3, 13, 13), 210 * 16, 150 * 16);
            painter.setBrush(QColor(0, 110, 40));
            painter.setPen(Qt::NoPen);
            painter.drawPolygon(QPolygonF({QPointF(13, 1), QPointF(18, 6), QPointF(12, 8)}));
            painter.drawPolygon(QPolygonF({QPointF(6, 18), QPointF(1, 13), QPointF(7, 11)}));
            break;
        }
        case 1: {
            painter.setPen(QPen(QColor(40, 40, 40), 1.5));
            painter.setBrush(QColor(230, 180, 40));
            painter.drawRoundedRect(QRectF(6, 7, 9, 8), 2, 2);
            painter.drawLine(QPointF(8, 7), QPointF(8, 2));
            painter.drawLine(QPointF(13, 7), QPointF(13, 2));
            painter.drawLine(QPointF(10.5, 15), QPointF(10.5, 18));
            break;
        }
        default: {
            painter.setPen(QPen(QColor(200, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(QPointF(4, 4), QPointF(15, 15));
            painter.drawLine(QPointF(15, 4), QPointF(4, 15));
            break;
        }
    }
    painter.end();
    return QIcon(pixmap);
}

}  // namespace

CMonitorForm::CMonitorForm(const MonitorFormSetup& setup) : persistence_(setup.programFolder) {
    // Caption, system menu, sizing border and minimise box: no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    persistence_.LoadSettings();
    persistence_.CreateDataFolders();
    LoadInterfaceTexts(KtTextTable::Instance(),
                       persistence_.Properties().GetProperty(kPropSysLanguageFile).AsString());

    drainTarget_ = new QObject(this);
    CreateControls();
    CreateToolbar();
    CreateDesktopParts(setup);
    probe_ = std::make_unique<AdapterProbe>(*this, persistence_.WorkingSettings(true),
                                            setup.programFolder);
    monitor_ = &probe_->GetMonitor();
    model_->SetMonitor(monitor_);
    persistence_.AttachMonitor(*monitor_);
    monitor_->Port().SetWakeUp([this] { ScheduleDrain(); });
    CreateMenus();
    ConnectListSignals();
    setWindowTitle(Text(TextId::kMonitorTitle));
    setWindowIcon(LoadWindowIcon(KtWindowIcon::Alarm));
    alarmIcon_ = true;

    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(kStatusPeriodMs);
    connect(statusTimer_, &QTimer::timeout, this, [this] { monitor_->RefreshStatusText(); });

    AdapterLister& adapters = setup.adapters != nullptr ? *setup.adapters : MachineAdapters();
    if (!monitor_->Open(adapters.ListAdapters()) && monitor_->LastStartLackedPermission()) {
        // Say what is missing and how to grant it, in the box and the log.
        const std::string hint = CapturePermissionHint(CurrentUserName());
        std::string_view rest = hint;
        while (!rest.empty()) {
            const size_t end = rest.find('\n');
            monitor_->LogWriter().WriteLine({"ERROR: ", rest.substr(0, end)});
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        }
    }
    statusTimer_->start();
    monitor_->RefreshStatusText();
    // Nothing is selected yet: the graphs say so, as after a removal.
    RefreshGraphs();
    UpdateCommandStates();

    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kFirstWidth, kFirstHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect whole = screen->geometry();
        move(whole.x() + (whole.width() - kFirstWidth) / 2,
             whole.y() + (whole.height() - kFirstHeight) / 2);
    }
}

CMonitorForm::~CMonitorForm() {
    // The engine threads stop before the window goes, so nothing wakes it
    // once it is gone.
    if (monitor_) {
        monitor_->Close();
        monitor_->Port().SetWakeUp(nullptr);
        monitor_ = nullptr;
        probe_.reset();
    }
}

void CMonitorForm::CreateControls() {
    client_ = new QWidget(this);
    setCentralWidget(client_);
    const QFont& font = GetDialogFont();

    adapterLabel_ = new QLabel(client_);
    adapterLabel_->setObjectName(QStringLiteral("1073"));
    adapterLabel_->setTextFormat(Qt::PlainText);
    adapterLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    adapterLabel_->setFont(font);
    adapterLabel_->setGeometry(Box(5, 10, 117, 33));
    const QString labelText = Text(TextId::kMonitorNetworkInterface);
    adapterLabel_->setText(labelText);
    adapterLabel_->setAccessibleName(labelText);

    adapterBox_ = new QComboBox(client_);
    adapterBox_->setObjectName(QStringLiteral("1001"));
    adapterBox_->setFont(font);
    adapterBox_->setEditable(false);
    adapterBox_->setGeometry(Box(120, 7, 400, 35));
    adapterBox_->setAccessibleName(labelText);
    adapterLabel_->setBuddy(adapterBox_);
    connect(adapterBox_, &QComboBox::activated, this, &CMonitorForm::OnAdapterActivated);

    model_ = new KtAcTableModel(this);
    list_ = new QTableView(client_);
    list_->setObjectName(QStringLiteral("1003"));
    list_->setFont(font);
    list_->setModel(model_);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(false);
    list_->setWordWrap(false);
    list_->setIconSize(QSize(16, 16));
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list_->verticalHeader()->setDefaultSectionSize(QFontMetrics(font).height() + 4);
    list_->horizontalHeader()->setHighlightSections(false);
    list_->horizontalHeader()->setStretchLastSection(false);
    list_->horizontalHeader()->setMinimumSectionSize(0);
    for (int column = 0; column < static_cast<int>(std::size(kAcColumnWidths)); ++column)
        columnBase_[static_cast<size_t>(column)] = kAcColumnWidths[column];
    // The widths suit the classic 8-point dialog font. Where this desktop's
    // font is wider, the MAC column grows so that a whole address stays
    // readable; a cut MAC tells nothing.
    const int cellMargin =
        list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1;
    const int macWidth = QFontMetrics(font).horizontalAdvance(QStringLiteral("DD:DD:DD:DD:DD:DD")) +
                         2 * cellMargin + 2;
    columnBase_[1] = std::max(columnBase_[1], macWidth);
    // The numbers likewise: a round-trip time of seconds and counts up to a
    // million probes show whole.
    const QFontMetrics cellMetrics(font);
    const int rttWidth = cellMetrics.horizontalAdvance(QStringLiteral("9999.999")) + 2 * cellMargin;
    const int countWidth = cellMetrics.horizontalAdvance(QStringLiteral("999999")) + 2 * cellMargin;
    columnBase_[4] = std::max(columnBase_[4], rttWidth);
    for (size_t column = 5; column < columnBase_.size(); ++column)
        columnBase_[column] = std::max(columnBase_[column], countWidth);
    // Titles wider than their columns widen them, and the whole row of columns
    // is kept within the list's width where it can be.
    list_->viewport()->installEventFilter(this);
    connect(list_->horizontalHeader(), &QHeaderView::sectionResized, this, [this] {
        if (!fittingColumns_) columnsSizedByUser_ = true;
    });
    list_->setGeometry(Box(5, 40, 595, 175));
    FitColumns();
    // Neither the list nor the log box has a caption on screen, and the text
    // table has no row for one; screen readers get these fixed English names,
    // as the notices carry fixed English texts.
    list_->setAccessibleName(QStringLiteral("Access concentrators"));
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CMonitorForm::OnListSelectionChanged);

    graphGroup_ = new QGroupBox(client_);
    graphGroup_->setObjectName(QStringLiteral("1007"));
    graphGroup_->setFont(font);
    graphGroup_->setGeometry(Box(5, 180, 595, 280));
    barGraph_ = new KtBarGraph(graphGroup_);
    lineGraph_ = new KtLineGraph(graphGroup_);
    for (KtGraph* graph : {static_cast<KtGraph*>(barGraph_), static_cast<KtGraph*>(lineGraph_)})
        graph->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);

    logBox_ = new QPlainTextEdit(client_);
    logBox_->setObjectName(QStringLiteral("1004"));
    logBox_->setFont(font);
    logBox_->setReadOnly(true);
    logBox_->setUndoRedoEnabled(false);
    // A long line wraps: scrolling sideways would hide every time stamp.
    logBox_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logBox_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    logBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logBox_->setMaximumBlockCount(kMaxLogLines);
    logBox_->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    logBox_->setGeometry(Box(5, 285, 595, 420));
    logBox_->setAccessibleName(QStringLiteral("Log"));

    statusBar_ = new QStatusBar(client_);
    statusBar_->setObjectName(QStringLiteral("59393"));
    statusBar_->setSizeGripEnabled(false);
    for (QLabel*& part : statusParts_) {
        part = new QLabel(statusBar_);
        part->setTextFormat(Qt::PlainText);
    }
    statusParts_[0]->setFixedWidth(kStatusFirstPartWidth);
    statusBar_->addWidget(statusParts_[0]);
    statusBar_->addWidget(statusParts_[1], 1);

    // Tab moves through the controls in their visual order.
    setTabOrder(adapterBox_, list_);
    setTabOrder(list_, logBox_);
}

void CMonitorForm::CreateToolbar() {
    toolbar_ = new QToolBar(client_);
    toolbar_->setObjectName(QStringLiteral("126"));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setIconSize(QSize(kToolbarImageSize, kToolbarImageSize));
    toolbar_->setToolButtonStyle(Qt::ToolButtonIconOnly);

    // No button texts and no tooltips: a screen reader gets the command's text.
    auto addButton = [this](int id, int image, int textId) {
        auto* action = new QAction(ToolbarImage(image), QString(), toolbar_);
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
        toolbar_->addAction(action);
        QWidget* button = toolbar_->widgetForAction(action);
        button->setFixedSize(kToolbarButtonSize, kToolbarButtonSize);
        button->setAccessibleName(Text(textId));
        button->setToolTip(QString());
        actions_.emplace(id, action);
        return action;
    };
    addButton(kToolbarRediscover, 0, TextId::kMenuRediscover);
    addButton(kToolbarRemove, 2, TextId::kToolbarRemove);
    toolbar_->addSeparator();
    QAction* connectAction = addButton(kToolbarConnect, 1, TextId::kToolbarCreateConnection);
    connectButton_ = qobject_cast<QToolButton*>(toolbar_->widgetForAction(connectAction));
    if (connectButton_ != nullptr) {
        // The drop-down arrow; the connections fill the menu when it opens.
        auto* dropDown = new QMenu(connectButton_);
        connect(dropDown, &QMenu::aboutToShow, this, &CMonitorForm::FillConnectDropDown);
        connect(dropDown, &QMenu::triggered, this, [this](QAction* action) {
            const int id = action->data().toInt();
            if (id >= kFirstDialEntry && id <= kLastDialEntry) {
                DialEntry(id);
            } else if (id == kConnectionMenuCreate) {
                if (const std::optional<std::string> acName = SelectedAcName())
                    CreateAndDial(*acName);
            }
        });
        connectButton_->setMenu(dropDown);
        connectButton_->setPopupMode(QToolButton::MenuButtonPopup);
        connectButton_->setFixedSize(kToolbarButtonSize + 12, kToolbarButtonSize);
    }
}

QAction* CMonitorForm::AddCommand(QMenu* menu, int id, int textId) {
    QAction* action = menu->addAction(Text(textId));
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    actions_.emplace(id, action);
    return action;
}

void CMonitorForm::CreateMenus() {
    QMenuBar* bar = menuBar();
    auto addMenu = [&](int textId) {
        QMenu* menu = bar->addMenu(Text(textId));
        topMenus_.push_back(menu->menuAction());
        // States are worked out afresh whenever a menu opens.
        connect(menu, &QMenu::aboutToShow, this, &CMonitorForm::UpdateCommandStates);
        return menu;
    };
    QMenu* file = addMenu(TextId::kMenuFile);
    AddCommand(file, kMenuExit, TextId::kMenuExit);
    QMenu* view = addMenu(TextId::kMenuView);
    AddCommand(view, kMenuRediscover, TextId::kMenuRediscover);
    AddCommand(view, kMenuRemove, TextId::kMenuRemoveAc);
    QMenu* connection = addMenu(TextId::kMenuConnection);
    AddCommand(connection, kMenuCreateConnection, TextId::kMenuCreateConnection);
    // The entries of the selected concentrator follow, rebuilt at each opening.
    connectionBarMenu_ = connection;
    connect(connection, &QMenu::aboutToShow, this, &CMonitorForm::FillConnectionMenu);
    connect(connection, &QMenu::triggered, this, [this](QAction* action) {
        const int id = action->data().toInt();
        if (id >= kFirstDialEntry && id <= kLastDialEntry) OnCommand(id);
    });
    QMenu* options = addMenu(TextId::kMenuOptions);
    AddCommand(options, kMenuSettings, TextId::kMenuSettings);
    QMenu* help = addMenu(TextId::kMenuHelp);
    AddCommand(help, kMenuAbout, TextId::kMenuAbout);
}

void CMonitorForm::resizeEvent(QResizeEvent* event) {
    KtFormBase::resizeEvent(event);
    LayoutControls();
}

void CMonitorForm::LayoutControls() {
    if (client_ == nullptr) return;
    // The client area holds the status bar in its bottom 25 pixels.
    const QRect area = client_->rect();
    const int l = area.left();
    const int t = area.top();
    const int r = area.right() + 1;
    const int b = area.bottom() + 1;
    const QSize bar = toolbar_->sizeHint();
    const QRect tool = Box(l + 5, t + 5, l + 5 + bar.width(), t + 5 + bar.height());
    const int toolRight = tool.right() + 1;
    const int toolBottom = tool.bottom() + 1;
    toolbar_->setGeometry(tool);
    // The label is 120 pixels wide, or as wide as its text where that is wider.
    const int labelWidth =
        std::max(120, adapterLabel_->sizeHint().width() + 2 * adapterLabel_->margin());
    adapterLabel_->setGeometry(
        Box(toolRight + 5, tool.top() + 4, toolRight + 5 + labelWidth, toolBottom));
    const int labelRight = adapterLabel_->geometry().right() + 1;
    adapterBox_->setGeometry(Box(labelRight + 5, tool.top(), r - 5, tool.top() + 22));
    list_->setGeometry(Box(l + 5, toolBottom + 2, r - 5, b - 245));
    FitColumns();
    graphGroup_->setGeometry(Box(l + 5, b - 240, r - 5, b - 135));
    const int groupWidth = graphGroup_->width();
    const int groupHeight = graphGroup_->height();
    barGraph_->setGeometry(Box(5, 15, 75, groupHeight - 7));
    lineGraph_->setGeometry(Box(80, 15, groupWidth - 5, groupHeight - 7));
    // The status bar keeps the bottom 25 pixels, or the height its panes need
    // at this font.
    const int statusHeight = std::max(kStatusHeight, statusBar_->sizeHint().height());
    logBox_->setGeometry(Box(l + 5, b - 135 + 5, r - 5, b - statusHeight));
    statusBar_->setGeometry(Box(l, b - statusHeight, r, b));
}

bool CMonitorForm::eventFilter(QObject* watched, QEvent* event) {
    // The list's viewport narrows when its vertical scroll bar appears.
    if (list_ != nullptr && watched == list_->viewport() && event->type() == QEvent::Resize)
        FitColumns();
    return KtFormBase::eventFilter(watched, event);
}

void CMonitorForm::FitColumns() {
    // Widths the user set by dragging stay as they are.
    if (columnsSizedByUser_) return;
    const QHeaderView* header = list_->horizontalHeader();
    const int margin = 2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
    const QFontMetrics metrics(header->font());
    constexpr int kColumns = KtAcTableModel::kColumns;
    constexpr int kFirstNameColumn = 2;
    constexpr int kLastNameColumn = 3;
    constexpr int kFirstNumberColumn = 4;
    std::array<int, kColumns> widths{};
    std::array<QString, kColumns> shown{};
    int total = 0;
    for (int column = 0; column < kColumns; ++column) {
        const QString title = KtAcTableModel::Title(column);
        widths[column] = std::max(columnBase_[column], metrics.horizontalAdvance(title) + margin);
        total += widths[column];
    }
    // The viewport's width once laid out, less the vertical scroll bar when the
    // rows need one (worked out here: a hidden list has not placed its bars yet).
    const QSize most = list_->maximumViewportSize();
    const bool scrolls = list_->verticalHeader()->length() > most.height();
    const int room = most.width() - (scrolls ? list_->verticalScrollBar()->sizeHint().width() : 0);
    // The title on two lines, broken at the space that gives the narrowest
    // column; the one-line width and nothing when it has no space.
    auto broken = [&](int column, const QString& title) {
        std::pair<int, QString> best{metrics.horizontalAdvance(title) + margin, QString()};
        for (qsizetype space = title.indexOf(QLatin1Char(' ')); space > 0;
             space = title.indexOf(QLatin1Char(' '), space + 1)) {
            const int wide = std::max(metrics.horizontalAdvance(title.left(space)),
                                      metrics.horizontalAdvance(title.mid(space + 1))) +
                             margin;
            if (wide < best.first)
                best = {wide, title.left(space) + QLatin1Char('\n') + title.mid(space + 1)};
        }
        best.first = std::max(best.first, columnBase_[column]);
        return best;
    };
    // Too wide for the list: number titles wider than their numbers go on two
    // lines; the three counts' titles together or not at all.
    for (int column = kFirstNumberColumn; column < kColumns && total > room; ++column) {
        const auto [wide, text] = broken(column, KtAcTableModel::Title(column));
        if (wide >= widths[column]) continue;
        total += wide - widths[column];
        widths[column] = wide;
        shown[column] = text;
    }
    const bool anyBroken = std::any_of(shown.begin(), shown.end(),
                                       [](const QString& text) { return !text.isEmpty(); });
    for (int column = kFirstNumberColumn + 1; anyBroken && column < kColumns; ++column) {
        const auto [wide, text] = broken(column, KtAcTableModel::Title(column));
        if (shown[column].isEmpty() && wide <= widths[column]) shown[column] = text;
    }
    // Still too wide: the name columns give up what they can, down to their
    // titles; a cut name shows an ellipsis and its whole text to screen readers.
    for (int column = kLastNameColumn; column >= kFirstNameColumn && total > room; --column) {
        const int least = metrics.horizontalAdvance(KtAcTableModel::Title(column)) + margin;
        const int give = std::min(total - room, std::max(0, widths[column] - least));
        widths[column] -= give;
        total -= give;
    }
    fittingColumns_ = true;
    for (int column = 0; column < kColumns; ++column) {
        model_->SetShownTitle(column, shown[column]);
        if (list_->columnWidth(column) != widths[column])
            list_->setColumnWidth(column, widths[column]);
    }
    fittingColumns_ = false;
}

KtTaskMonitorForm::KtTaskMonitorForm() {
    MonitorFormSetup setup;
    setup.programFolder = GetProgramFolder();
    auto* form = new CMonitorForm(setup);
    form->show();
    form->SetOwnerTask(this);
    SetWindow(form);
}

CMonitorForm* KtTaskMonitorForm::MonitorForm() const {
    return static_cast<CMonitorForm*>(Window());
}
