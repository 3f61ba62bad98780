#include "connections/ui/connection_menu.h"

#include <QAction>
#include <QMenu>

#include "text/text_ids.h"
#include "text/text_table.h"

void BuildConnectionMenu(ConnectionMenu& menu, std::string_view acName, bool create,
                         bool entryItems, bool remove) {
    using Kind = ConnectionMenuItem::Kind;
    menu.names.clear();
    std::vector<KtRasConnection> entries;
    menu.status = FindConnections(kPppoeDeviceType, acName, entries);
    if (create) {
        menu.items.push_back(
            {Kind::Command, kIdCreateConnection, GetText(TextId::kToolbarCreateConnection), true});
    }
    if (!menu.items.empty() && !entries.empty()) {
        menu.items.push_back({Kind::Separator, 0, {}, true});
    }
    if (entryItems && !entries.empty()) {
        menu.items.push_back(
            {Kind::Header, 0, GetText(TextId::kToolbarAvailableConnections), false});
        for (size_t i = 0; i < entries.size() && i < kMaxConnectionItems; ++i) {
            menu.names.push_back(entries[i].Name());
            menu.items.push_back(
                {Kind::Entry, kFirstConnectionId + static_cast<int>(i), entries[i].Name(), true});
        }
    }
    if (remove) {
        menu.items.push_back({Kind::Separator, 0, {}, true});
        menu.items.push_back({Kind::Command, kIdRemoveAc, GetText(TextId::kToolbarRemove), true});
    }
}

std::optional<std::string> EntryOfCommand(const ConnectionMenu& menu, int id) {
    if (id < kFirstConnectionId || id > kLastConnectionId) {
        return std::nullopt;
    }
    const auto index = static_cast<size_t>(id - kFirstConnectionId);
    if (index >= menu.names.size()) {
        return std::nullopt;
    }
    return menu.names[index];
}

void FillMenu(QMenu& qmenu, const ConnectionMenu& menu) {
    for (const ConnectionMenuItem& item : menu.items) {
        if (item.kind == ConnectionMenuItem::Kind::Separator) {
            qmenu.addSeparator();
            continue;
        }
        QString text = QString::fromStdString(item.text);
        if (item.kind == ConnectionMenuItem::Kind::Entry) {
            text.replace(QLatin1Char('&'), QLatin1String("&&"));
        }
        QAction* action = qmenu.addAction(text);
        action->setData(item.id);
        action->setEnabled(item.enabled);
    }
}
