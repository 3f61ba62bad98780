// The monitor window's tray icon, notices and sounds, and its connection
// commands, with the desktop's parts and dialogs recorded.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QTableView>
#include <QToolButton>

#include "connections/phonebook.h"
#include "engine/engine_messages.h"
#include "monitor_form_harness.h"
#include "options/options_form.h"

namespace {

using namespace MonitorId;

constexpr MacAddress kMacA = {0x00, 0x1b, 0x21, 0x0a, 0x4c, 0x5e};
constexpr MacAddress kMacB = {0x02, 0x4c, 0x57, 0x20, 0x0a, 0x02};

void Cable(MonitorFormHarness& h, int state) {
    h.form->GetMonitor().Port().Send(WM_LW_CABLE, static_cast<uintptr_t>(state));
}

std::vector<std::string> NoticeLines(const std::vector<RecordedNotice>& notices) {
    std::vector<std::string> lines;
    for (const RecordedNotice& notice : notices)
        lines.push_back(notice.title + " " + std::to_string(static_cast<int>(notice.icon)) + " " +
                        notice.text);
    return lines;
}

}  // namespace

TEST(MonitorWindowTray, EventsReachTheTrayNoticesAndSoundsAndClicksStopAndToggle) {
    MonitorFormHarness h(
        "MonTrayShowTooltips=1\nSndEvtEnabled=1\nMonEvtWaitUserAction=1\n"
        "SndEvtNewACFileName=/snd/new.wav\nSndEvtCableUnplugFileName=/snd/cable.wav\n");
    CMonitorForm& form = *h.form;
    form.show();
    ASSERT_NE(h.tray, nullptr);
    EXPECT_TRUE(h.tray->shown);
    EXPECT_FALSE(h.tray->up);

    // The first AC after the start is announced without a sound; one heard
    // later loops its sound until the user reacts.
    const TestOffer a{kMacA, "first", "internet", 900};
    const TestOffer b{kMacB, "x<b>&y", "video", 700};
    h.Cycle({a});
    EXPECT_TRUE(h.tray->up);
    EXPECT_FALSE(form.ShowsAlarmIcon());
    EXPECT_TRUE(h.sounds->empty());
    h.Cycle({a, b});
    EXPECT_EQ(*h.sounds, std::vector<std::string>({"loop /snd/new.wav"}));

    // A tray click stops the waiting sound and hides the window; the next
    // shows it; Restore from the tray menu shows it too.
    h.tray->Click();
    EXPECT_EQ(h.sounds->back(), "stop");
    EXPECT_FALSE(form.isVisible());
    h.tray->Click();
    EXPECT_TRUE(form.isVisible());
    h.tray->Click();
    h.tray->Choose(kTrayRestore);
    EXPECT_TRUE(form.isVisible());

    // Every AC down: the alarm icon, and a notice per AC.
    h.Cycle({});
    EXPECT_FALSE(h.tray->up);
    EXPECT_TRUE(form.ShowsAlarmIcon());
    h.Cycle({a});
    EXPECT_TRUE(h.tray->up);

    // Change settings... opens the one options window over the live settings.
    h.tray->Choose(kTraySettings);
    form.OnCommand(kMenuSettings);
    auto* options = qobject_cast<COptionsForm*>(
        KtTaskRegistry::Get().FindNamedWindow(COptionsForm::kWindowName));
    ASSERT_NE(options, nullptr);
    EXPECT_TRUE(options->isVisible());
    options->OnOk();
    ASSERT_TRUE(ProcessEventsUntil([] {
        return KtTaskRegistry::Get().FindNamedWindow(COptionsForm::kWindowName) == nullptr;
    }));

    Cable(h, kCableUnplugged);
    EXPECT_EQ(h.sounds->back(), "loop /snd/cable.wav");
    Cable(h, kCableConnected);
    EXPECT_EQ(h.sounds->back(), "stop");

    EXPECT_EQ(NoticeLines(*h.notices),
              std::vector<std::string>(
                  {"AC NEW: 2 00:1B:21:0A:4C:5E first", "AC NEW: 2 02:4C:57:20:0A:02 x<b>&y",
                   "AC DOWN: 2 00:1B:21:0A:4C:5E first", "AC DOWN: 2 02:4C:57:20:0A:02 x<b>&y",
                   "AC UP: 1 00:1B:21:0A:4C:5E first", "WARNING: 2 Network cable unplugged",
                   "INFO: 1 Network cable is connected"}));
}

TEST(MonitorWindowTray, NoticesOffStillSoundAndIconAndMinimisingFollowsTheTray) {
    MonitorFormHarness h("SndEvtEnabled=1\nSndEvtCableUnplugFileName=/snd/cable.wav\n");
    CMonitorForm& form = *h.form;
    form.show();
    h.Cycle({{kMacA, "first", "internet", 900}});
    Cable(h, kCableUnplugged);
    EXPECT_TRUE(h.notices->empty());
    EXPECT_EQ(*h.sounds, std::vector<std::string>({"play /snd/cable.wav"}));
    EXPECT_TRUE(h.tray->up);

    // With a tray, a minimised window lives on as the icon only.
    form.showMinimized();
    ASSERT_TRUE(ProcessEventsUntil([&] { return !form.isVisible(); }));
    h.tray->Click();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());

    // Without one it stays a minimised window that can be brought back.
    h.tray->available = false;
    form.showMinimized();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_TRUE(form.isVisible());
    form.BringForward();
    EXPECT_FALSE(form.isMinimized());
}

namespace {

// Records the connection dialogs and answers them as a user would.
class ConnectionUser final : public MonitorConnectionUi {
  public:
    bool AskName(QWidget*, const std::string& base, std::string& name) override {
        asked.push_back(base);
        name = nameToGive;
        return !nameToGive.empty();
    }
    bool Create(QWidget*, const std::string& ac, const std::string& name,
                const std::string& interface) override {
        created.push_back(name + "|" + ac + "|" + interface);
        return createWorks;
    }
    void Dial(QWidget*, const std::string& name) override { dialled.push_back(name); }
    void TellUnreadable(QWidget*) override { dialled.push_back("<unreadable>"); }
    int Popup(QMenu& menu, const QPoint&) override {
        QStringList items;
        for (QAction* action : menu.actions())
            items << (action->isSeparator()
                          ? QStringLiteral("-")
                          : action->text() + (action->isEnabled() ? "" : " (off)"));
        menus.push_back(items);
        return menuChoice;
    }

    std::vector<std::string> asked, created, dialled;
    std::string nameToGive = "given";
    bool createWorks = true;
    int menuChoice = 0;
    std::vector<QStringList> menus;
};

QStringList MenuTexts(QMenu& menu) {
    QStringList items;
    for (QAction* action : menu.actions())
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return items;
}

}  // namespace

TEST(MonitorWindowConnections, CommandsUseTheRecordsWholeAcNameAndDialByPosition) {
    TempFolder peers("lwpeers");
    SetPeersFolder(peers.Path());
    ConnectionUser user;
    MonitorFormHarness h({}, &user);
    CMonitorForm& form = *h.form;
    // A name longer than the table's column shows, with markup and '&'.
    const std::string longName = "Edge<i>&</i>-" + std::string(200, 'n') + "#end";
    h.Cycle({{kMacA, longName, "internet", 900}});
    ASSERT_EQ(form.GetMonitor().SelectedRow(), 0);
    ASSERT_NE(h.Cell(0, 2).toStdString(), longName);

    // No entry yet: Connect asks, creates and dials; a failed create dials nothing.
    form.OnCommand(kToolbarConnect);
    EXPECT_EQ(user.asked, std::vector<std::string>({longName}));
    EXPECT_EQ(user.created, std::vector<std::string>({"given|" + longName + "|"}));
    EXPECT_EQ(user.dialled, std::vector<std::string>({"given"}));
    user.createWorks = false;
    form.OnCommand(kToolbarConnect);
    EXPECT_EQ(user.dialled.size(), 1u);
    // Create new connection never dials.
    user.createWorks = true;
    form.OnCommand(kMenuCreateConnection);
    EXPECT_EQ(user.created.size(), 3u);
    EXPECT_EQ(user.dialled.size(), 1u);

    // One entry aimed at the AC: dialled at once.
    ASSERT_EQ(WritePeersEntryFile(peers.Path(), "B&B", {longName, "eth0"}), 0);
    form.OnCommand(kToolbarConnect);
    EXPECT_EQ(user.dialled.back(), "B&B");

    // Several: a menu; the choice is dialled by its position.
    ASSERT_EQ(WritePeersEntryFile(peers.Path(), "A one", {longName, "eth0"}), 0);
    ASSERT_EQ(WritePeersEntryFile(peers.Path(), "other", {"another AC", "eth0"}), 0);
    user.menuChoice = kFirstDialEntry + 1;
    form.OnCommand(kToolbarConnect);
    ASSERT_EQ(user.menus.size(), 1u);
    EXPECT_EQ(user.menus[0], QStringList({"Available connections: (off)", "A one", "B&&B"}));
    EXPECT_EQ(user.dialled.back(), "B&B");

    // The list's menu: create, the entries and Remove; create does not dial.
    user.menuChoice = kConnectionMenuCreate;
    const size_t dialsBefore = user.dialled.size();
    form.OpenListContextMenu(QPoint(10, 10));
    EXPECT_EQ(user.menus.back(),
              QStringList({"Create new connection", "-", "Available connections: (off)", "A one",
                           "B&&B", "-", "Remove"}));
    EXPECT_EQ(user.created.size(), 4u);
    EXPECT_EQ(user.dialled.size(), dialsBefore);

    // The menu bar's Connection menu lists the entries after its own item
    // and dials them by id.
    QMenu* menu = form.TopMenu(2)->menu();
    ASSERT_NE(menu, nullptr);
    form.FillConnectionMenu();
    EXPECT_EQ(MenuTexts(*menu), QStringList({"Create new connection", "-",
                                             "Available connections:", "A one", "B&&B"}));
    menu->actions().at(3)->trigger();
    EXPECT_EQ(user.dialled.back(), "A one");

    // The drop-down offers create and the entries; its create dials.
    form.FillConnectDropDown();
    QMenu* dropDown = form.ConnectButton()->menu();
    EXPECT_EQ(MenuTexts(*dropDown), QStringList({"Create new connection", "-",
                                                 "Available connections:", "A one", "B&&B"}));
    dropDown->actions().at(0)->trigger();
    EXPECT_EQ(user.dialled.back(), "given");

    // Remove from the list's menu runs the window's remove command.
    user.menuChoice = kConnectionMenuRemove;
    form.OpenListContextMenu(QPoint(10, 10));
    ASSERT_TRUE(ProcessEventsUntil([&] { return form.AcModel()->rowCount() == 0; }));
    form.FillConnectionMenu();
    EXPECT_EQ(MenuTexts(*menu), QStringList({"Create new connection"}));
    SetPeersFolder({});
}
