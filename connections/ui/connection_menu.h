#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connections/phonebook.h"

class QMenu;

// The connection menu's items as data: what the window's Connection menu, the
// list's context menu and the Connect button's drop-down carry. The window
// turns them into menu items (FillMenu) and hands a chosen id back to
// EntryOfCommand, which finds the entry by its position, never by the text.

constexpr int kIdCreateConnection = 32772;
constexpr int kIdRemoveAc = 32773;
constexpr int kFirstConnectionId = 106;
constexpr int kMaxConnectionItems = 10;
constexpr int kLastConnectionId = kFirstConnectionId + kMaxConnectionItems - 1;

struct ConnectionMenuItem {
    enum class Kind { Command, Header, Entry, Separator };
    Kind kind = Kind::Command;
    int id = 0;        // 0 for the header and separators
    std::string text;  // as shown; an entry's name exactly as it is
    bool enabled = true;
};

struct ConnectionMenu {
    std::vector<ConnectionMenuItem> items;
    // The entry names of the items 106, 107, ... in that order.
    std::vector<std::string> names;
    PhonebookStatus status = PhonebookStatus::Ok;
};

// Appends to menu (which may already hold items, as the menu bar's popup
// holds "Create new connection"): the create item (32772, text 330) when
// create is set; a separator when the menu then holds items and entries were
// found; with entryItems the grey header (text 331) and the first ten PPPoE
// entries aimed at acName as ids 106..115; with remove a separator and the
// remove item (32773, text 332). The name list is emptied first.
void BuildConnectionMenu(ConnectionMenu& menu, std::string_view acName, bool create,
                         bool entryItems, bool remove);

// The entry of a chosen command: the name at position id - 106 of the last
// build; nothing for another id or a position past the list.
std::optional<std::string> EntryOfCommand(const ConnectionMenu& menu, int id);

// Adds the items to a Qt menu. Each action carries its id as data; an '&'
// in an entry name is shown as itself, not as a shortcut mark.
void FillMenu(QMenu& qmenu, const ConnectionMenu& menu);
