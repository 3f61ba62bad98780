#pragma once

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connections/ui/connection_menu.h"
#include "engine/adapter_probe.h"
#include "engine/adapters.h"
#include "engine/monitor.h"
#include "engine/monitor_view.h"
#include "engine/settings_persistence.h"
#include "ui/desktop_notifier.h"
#include "ui/form_base.h"
#include "ui/sound_player.h"
#include "ui/task_registry.h"
#include "ui/tray_icon.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QModelIndex;
class QPoint;
class QPlainTextEdit;
class QStatusBar;
class QTableView;
class QTimer;
class QToolBar;
class QToolButton;
class KtAcTableModel;
class KtBarGraph;
class KtLineGraph;

// Control and command ids of the monitor window.
namespace MonitorId {
constexpr int kAdapterLabel = 1073;
constexpr int kAdapterBox = 1001;
constexpr int kAcList = 1003;
constexpr int kGraphGroup = 1007;
constexpr int kLogBox = 1004;
constexpr int kToolbar = 126;
constexpr int kStatusBar = 59393;

constexpr int kToolbarRediscover = 121;
constexpr int kConnectionCreate = 122;
constexpr int kToolbarRemove = 123;
constexpr int kToolbarConnect = 124;
constexpr int kFirstDialEntry = kFirstConnectionId;
constexpr int kLastDialEntry = kLastConnectionId;
constexpr int kTrayRestore = kCmdTrayRestore;
constexpr int kTrayAbout = kCmdTrayAbout;
constexpr int kTrayExit = kCmdTrayExit;
constexpr int kTraySettings = kCmdTrayChangeSettings;
constexpr int kConnectionMenuCreate = kIdCreateConnection;
constexpr int kConnectionMenuRemove = kIdRemoveAc;
constexpr int kMenuExit = 32778;
constexpr int kMenuRemove = 32779;
constexpr int kMenuAbout = 32781;
constexpr int kMenuRediscover = 32782;
constexpr int kMenuCreateConnection = 32787;
constexpr int kMenuSettings = 32788;
}  // namespace MonitorId

// The dialogs and popup menus of the connection commands; tests answer them
// instead of a user.
class MonitorConnectionUi {
  public:
    virtual ~MonitorConnectionUi() = default;
    // Asks the name of a new entry (suggestion from base); true on OK.
    virtual bool AskName(QWidget* parent, const std::string& base, std::string& name) = 0;
    // Writes the entry; tells the user and returns false when that fails.
    virtual bool Create(QWidget* parent, const std::string& acName, const std::string& name,
                        const std::string& interface) = 0;
    // Opens the dial dialog for the entry.
    virtual void Dial(QWidget* parent, const std::string& name) = 0;
    // Tells the user that the peers folder cannot be read.
    virtual void TellUnreadable(QWidget* parent) = 0;
    // Opens the menu at the screen position and returns the chosen item's id
    // (0 when dismissed).
    virtual int Popup(QMenu& menu, const QPoint& position) = 0;
};

// The connection dialogs and menus the user sees.
MonitorConnectionUi& DesktopConnectionUi();

// The desktop's parts the window makes for itself: its tray icon,
// notifications and sounds; tests record them instead.
class MonitorDesktopParts {
  public:
    virtual ~MonitorDesktopParts() = default;
    // The tray icon, parented to the window.
    virtual TrayIcon* MakeTrayIcon(QObject* parent) = 0;
    // Notifications; the tray icon's balloons serve where no notification
    // service answers.
    virtual std::unique_ptr<DesktopNotifier> MakeNotifier(TrayIcon* fallback) = 0;
    virtual std::unique_ptr<SoundPlayer> MakeSoundPlayer() = 0;
};

// The tray icon, notifications and sounds of the user's desktop.
MonitorDesktopParts& DesktopParts();

// The adapters the window offers when it is created.
class AdapterLister {
  public:
    virtual ~AdapterLister() = default;
    virtual std::vector<AdapterEntry> ListAdapters() = 0;
};

// The machine's wired Ethernet adapters.
AdapterLister& MachineAdapters();

// What the monitor window is built from. The seams given must outlive the
// window; a seam left null is the desktop's own.
struct MonitorFormSetup {
    // Folder of the portable INI file and the base of a relative log folder.
    std::string programFolder;
    AdapterLister* adapters = nullptr;
    MonitorDesktopParts* desktopParts = nullptr;
    MonitorConnectionUi* connections = nullptr;
};

// The main window: the adapter being watched, the concentrator list, the two
// round-trip graphs of the selected concentrator, the log box, the menus, the
// toolbar and the status bar. It owns one Monitor, draws what it reports and
// hands it the user's commands; the rules are the monitor's.
class CMonitorForm : public KtFormBase, public MonitorView {
    Q_OBJECT

  public:
    static constexpr int kMinimumWidth = 500;
    static constexpr int kMinimumHeight = 400;
    static constexpr int kFirstWidth = 590;
    static constexpr int kFirstHeight = 450;
    static constexpr int kStatusPeriodMs = 1000;
    // The log box drops its oldest lines beyond this many; monitor.log keeps all.
    static constexpr int kMaxLogLines = 10000;

    // Loads the settings and the interface texts, builds the window, opens
    // the logs and starts monitoring on the selected adapter.
    explicit CMonitorForm(const MonitorFormSetup& setup);
    ~CMonitorForm() override;

    // Runs a command by its id; ids that name the same command share one
    // handler. Disabled commands do nothing.
    void OnCommand(int id);
    // Whether the command can run now: the update-command state.
    bool CommandEnabled(int id) const;
    // Applies CommandEnabled to every action of the menus and the toolbar.
    void UpdateCommandStates();

    // Brings the window to the user: restored when minimised or hidden,
    // raised and activated (a second start of the program asks for this).
    void BringForward();

    Monitor& GetMonitor() { return *monitor_; }
    // The watched adapter's engine, link watcher and monitor.
    AdapterProbe& Probe() { return *probe_; }
    KtAcTableModel* AcModel() const { return model_; }
    QTableView* AcList() const { return list_; }
    QComboBox* AdapterBox() const { return adapterBox_; }
    QLabel* AdapterLabel() const { return adapterLabel_; }
    QGroupBox* GraphGroup() const { return graphGroup_; }
    QPlainTextEdit* LogBox() const { return logBox_; }
    QToolBar* Toolbar() const { return toolbar_; }
    QLabel* StatusText() const { return statusParts_[0]; }
    KtBarGraph* BarGraph() const { return barGraph_; }
    KtLineGraph* LineGraph() const { return lineGraph_; }
    // The menu and toolbar actions carrying the id, in creation order.
    std::vector<QAction*> Actions(int id) const;
    QAction* TopMenu(int position) const;
    bool ShowsAlarmIcon() const { return alarmIcon_; }
    TrayIcon* Tray() const { return tray_; }
    QToolButton* ConnectButton() const { return connectButton_; }

    // A left click on the tray icon: stops a sound that waits for the user,
    // then hides the shown window or shows the hidden one.
    void OnTrayClicked();
    // The connection commands on the selected row's concentrator. Connect
    // dials its only entry, offers a menu of several (its top-left corner at
    // menuPosition, in screen coordinates, or its top edge centred there) or
    // asks a name, creates and dials.
    void CreateNewConnection();
    void Connect(const QPoint& menuPosition, bool centred = false);
    // The right-click menu of the list at the screen position.
    void OpenListContextMenu(const QPoint& position);
    // Fills the Connection menu of the menu bar as it opens.
    void FillConnectionMenu();
    // Fills the Connect button's drop-down as it opens.
    void FillConnectDropDown();

    // MonitorView.
    void RowAdded(size_t row, const KtAcRecord& record) override;
    void RowChanged(size_t row, const KtAcRecord& record) override;
    void RowRemoved(size_t row) override;
    void RowsCleared() override;
    void RowSelected(int row) override;
    void LogAppended(std::string_view line) override;
    void ShowBalloon(std::string_view title, BalloonIcon icon, std::string_view text) override;
    void SetTrayState(bool up) override;
    void PlaySound(const std::string& file, bool loop) override;
    void StopSound() override;
    void RefreshGraphs() override;
    void SetStatusText(int textId, std::string_view defaultText) override;
    void SetSelectedAcLabel(std::string_view text) override;
    void ShowAdapters(const std::vector<AdapterEntry>& adapters, int selected,
                      bool enabled) override;

  protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void CreateControls();
    void CreateToolbar();
    void CreateMenus();
    void LayoutControls();
    // Sizes the list's columns to their titles and to the list's width.
    void FitColumns();
    QAction* AddCommand(QMenu* menu, int id, int textId);
    void ScheduleDrain();
    void OnListSelectionChanged();
    void OnAdapterActivated(int index);
    void OpenSettings();
    void OpenAbout();
    void CloseOtherWindows();
    void CreateDesktopParts(const MonitorFormSetup& setup);
    void ConnectListSignals();
    // The full AC-Name of the selected row's record, if a row is selected.
    std::optional<std::string> SelectedAcName() const;
    // The adapter being watched, if there is one.
    const AdapterEntry* CurrentAdapterEntry() const;
    // The interface of the adapter being watched (empty without one).
    std::string CurrentInterface() const;
    // Builds connectionMenu_ for the concentrator; false (after telling the
    // user) when the peers folder cannot be read.
    bool BuildMenuFor(const std::string& acName, bool create, bool entries, bool remove);
    void DialEntry(int id);
    void CreateAndDial(const std::string& acName);
    // The bottom-left corner of the Connect button, on the screen.
    QPoint ConnectMenuPosition() const;

    SettingsPersistence persistence_;
    std::unique_ptr<AdapterProbe> probe_;
    // The probe's monitor, while the probe lives.
    Monitor* monitor_ = nullptr;
    TrayIcon* tray_ = nullptr;
    std::unique_ptr<DesktopNotifier> notifier_;
    std::unique_ptr<SoundPlayer> sound_;
    MonitorConnectionUi* connectionUi_ = nullptr;
    ConnectionMenu connectionMenu_;
    QMenu* connectionBarMenu_ = nullptr;

    QWidget* client_ = nullptr;
    QLabel* adapterLabel_ = nullptr;
    QComboBox* adapterBox_ = nullptr;
    QTableView* list_ = nullptr;
    KtAcTableModel* model_ = nullptr;
    QGroupBox* graphGroup_ = nullptr;
    KtBarGraph* barGraph_ = nullptr;
    KtLineGraph* lineGraph_ = nullptr;
    QPlainTextEdit* logBox_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QToolButton* connectButton_ = nullptr;
    QStatusBar* statusBar_ = nullptr;
    QLabel* statusParts_[2] = {nullptr, nullptr};
    QTimer* statusTimer_ = nullptr;
    std::multimap<int, QAction*> actions_;
    // Least width of each column of the list.
    std::array<int, 8> columnBase_{};
    bool fittingColumns_ = false;
    bool columnsSizedByUser_ = false;
    std::vector<QAction*> topMenus_;

    // The queued call that drains the monitor's port: at most one pending.
    QObject* drainTarget_ = nullptr;
    std::atomic<bool> drainQueued_{false};
    // Set while the window itself moves the list's selection.
    bool selectingFromMonitor_ = false;
    bool alarmIcon_ = true;
    bool closed_ = false;
};

// The task that owns the monitor window, built on the machine's adapters and
// the desktop's own tray, notifications, sounds and connection dialogs.
class KtTaskMonitorForm : public KtTaskWindowed {
  public:
    KtTaskMonitorForm();
    CMonitorForm* MonitorForm() const;
};
