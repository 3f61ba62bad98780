// The monitor window's connection commands on the selected concentrator:
// create, connect (dial), the list's right-click menu and the connection
// menus filled as they open.
#include <QAction>
#include <QMenu>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include "connections/phonebook.h"
#include "desktop/monitor_form.h"
#include "engine/ac_record.h"

namespace {

using namespace MonitorId;

}  // namespace

void CMonitorForm::ConnectListSignals() {
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& position) {
        // Only a click on a row opens the menu; the press has selected it.
        if (!list_->indexAt(position).isValid()) return;
        OpenListContextMenu(list_->viewport()->mapToGlobal(position));
    });
    connect(list_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (!index.isValid() || closed_) return;
        // The menu of several entries opens below the clicked row, centred
        // on the mouse's x position.
        const QRect row = list_->visualRect(index);
        const int x = list_->viewport()->mapFromGlobal(QCursor::pos()).x();
        Connect(list_->viewport()->mapToGlobal(QPoint(x, row.bottom() + 1)), true);
    });
}

std::optional<std::string> CMonitorForm::SelectedAcName() const {
    const int selected = monitor_ ? monitor_->SelectedRow() : -1;
    if (selected < 0 || static_cast<size_t>(selected) >= monitor_->Rows().size())
        return std::nullopt;
    // The record's whole name: the table shows it escaped and cut.
    return monitor_->Rows()[static_cast<size_t>(selected)]->targetAcName;
}

const AdapterEntry* CMonitorForm::CurrentAdapterEntry() const {
    const int adapter = monitor_->CurrentAdapter();
    if (adapter < 0 || static_cast<size_t>(adapter) >= monitor_->Adapters().size()) return nullptr;
    return &monitor_->Adapters()[static_cast<size_t>(adapter)];
}

std::string CMonitorForm::CurrentInterface() const {
    const AdapterEntry* adapter = CurrentAdapterEntry();
    return adapter != nullptr ? adapter->deviceName : std::string();
}

bool CMonitorForm::BuildMenuFor(const std::string& acName, bool create, bool entries, bool remove) {
    connectionMenu_.items.clear();
    BuildConnectionMenu(connectionMenu_, acName, create, entries, remove);
    if (connectionMenu_.status == PhonebookStatus::FolderUnreadable) {
        connectionUi_->TellUnreadable(this);
        return false;
    }
    return true;
}

void CMonitorForm::DialEntry(int id) {
    // By position in the last menu built, never by the item's text.
    if (const std::optional<std::string> name = EntryOfCommand(connectionMenu_, id))
        connectionUi_->Dial(this, *name);
}

void CMonitorForm::CreateAndDial(const std::string& acName) {
    std::string name;
    if (!connectionUi_->AskName(this, acName, name)) return;
    // A failed create has been told to the user; nothing is dialled then.
    if (connectionUi_->Create(this, acName, name, CurrentInterface()))
        connectionUi_->Dial(this, name);
}

QPoint CMonitorForm::ConnectMenuPosition() const {
    if (connectButton_ == nullptr) return mapToGlobal(QPoint(0, 0));
    return connectButton_->mapToGlobal(QPoint(0, connectButton_->height()));
}

void CMonitorForm::CreateNewConnection() {
    const std::optional<std::string> acName = SelectedAcName();
    if (!acName) return;
    std::string name;
    if (connectionUi_->AskName(this, *acName, name))
        connectionUi_->Create(this, *acName, name, CurrentInterface());
}

void CMonitorForm::Connect(const QPoint& menuPosition, bool centred) {
    const std::optional<std::string> acName = SelectedAcName();
    if (!acName || closed_) return;
    if (!BuildMenuFor(*acName, false, true, false)) return;
    const std::vector<std::string> names = connectionMenu_.names;
    if (names.size() == 1) {
        connectionUi_->Dial(this, names.front());
    } else if (names.empty()) {
        CreateAndDial(*acName);
    } else {
        QMenu menu(this);
        FillMenu(menu, connectionMenu_);
        QPoint position = menuPosition;
        if (centred) position.rx() -= menu.sizeHint().width() / 2;
        DialEntry(connectionUi_->Popup(menu, position));
    }
}

void CMonitorForm::OpenListContextMenu(const QPoint& position) {
    const std::optional<std::string> acName = SelectedAcName();
    if (!acName || closed_) return;
    if (!BuildMenuFor(*acName, true, true, true)) return;
    QMenu menu(this);
    FillMenu(menu, connectionMenu_);
    const int id = connectionUi_->Popup(menu, position);
    if (id >= kFirstDialEntry && id <= kLastDialEntry) {
        DialEntry(id);
    } else if (id == kConnectionMenuCreate) {
        CreateNewConnection();
    } else if (id == kConnectionMenuRemove) {
        // Run as the window's own command once the menu is gone.
        QTimer::singleShot(0, this, [this] { OnCommand(kConnectionMenuRemove); });
    }
}

void CMonitorForm::FillConnectionMenu() {
    QMenu* menu = connectionBarMenu_;
    // Everything after "Create new connection" goes; the entries of the
    // selected concentrator follow it.
    const QList<QAction*> actions = menu->actions();
    for (qsizetype i = actions.size() - 1; i >= 1; --i) {
        menu->removeAction(actions[i]);
        delete actions[i];
    }
    connectionMenu_.items.clear();
    connectionMenu_.names.clear();
    const std::optional<std::string> acName = SelectedAcName();
    if (!acName) return;
    // The first item stands in for the menu's own, so that a separator
    // comes between it and the entries.
    connectionMenu_.items.push_back({ConnectionMenuItem::Kind::Command, kMenuCreateConnection,
                                     menu->actions().constFirst()->text().toStdString(), true});
    BuildConnectionMenu(connectionMenu_, *acName, false, true, false);
    connectionMenu_.items.erase(connectionMenu_.items.begin());
    // An unreadable folder is told when the user asks to connect, not while
    // a menu is being opened.
    FillMenu(*menu, connectionMenu_);
}

void CMonitorForm::FillConnectDropDown() {
    QMenu* menu = connectButton_->menu();
    menu->clear();
    const std::optional<std::string> acName = SelectedAcName();
    if (!acName) return;
    if (!BuildMenuFor(*acName, true, true, false)) return;
    FillMenu(*menu, connectionMenu_);
}
