#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "connections/phonebook.h"
#include "connections/ui/connection_actions.h"
#include "connections/ui/connection_menu.h"
#include "connections/ui/dial_dialog.h"
#include "connections/ui/isp_name_dlg.h"
#include "connections/ui/message_boxes.h"
#include "test_support.h"
#include "ui/ui_test_support.h"

namespace {

// Answers the boxes as the test says and remembers what was asked.
class ScriptedBoxes final : public KtMessageBoxes {
  public:
    void ShowError(QWidget*, const QString& caption, const QString& text) override {
        asked.push_back("error|" + caption.toStdString() + "|" + text.toStdString());
    }
    bool AskYesNo(QWidget*, const QString& caption, const QString& text) override {
        asked.push_back("question|" + caption.toStdString() + "|" + text.toStdString());
        return answerYes;
    }
    std::vector<std::string> asked;
    bool answerYes = false;
};

class ConnectionDialogsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        SetPeersFolder(folder_.Path());
    }
    void TearDown() override { SetPeersFolder({}); }
    void Entry(const std::string& name, const std::string& acName) {
        std::ofstream(folder_.File(name))
            << "plugin rp-pppoe.so nic-eth0 pppoe-ac \"" << acName << "\"\n";
    }

    TempFolder folder_{"lwpeersui"};
    ScriptedBoxes boxes_;
};

void WaitUntil(const std::function<bool()>& done) {
    while (!done()) {
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

}  // namespace

TEST_F(ConnectionDialogsTest, NameDialogShowsItsTextsAndKeepsOpenOnInvalidOrDeclinedNames) {
    CIspNameDlg dialog(boxes_);
    EXPECT_EQ(dialog.windowTitle(), "Connection name");
    EXPECT_EQ(dialog.Prompt()->text(), "Enter a name for the new connection:");
    EXPECT_EQ(dialog.NameEdit()->accessibleName(), dialog.Prompt()->text());
    EXPECT_EQ(dialog.OkButton()->text(), "OK");
    EXPECT_EQ(dialog.CancelButton()->text(), "Cancel");
    dialog.show();

    dialog.SetName("bad|name");
    dialog.OkButton()->click();
    ASSERT_EQ(boxes_.asked.size(), 1u);
    EXPECT_EQ(boxes_.asked[0],
              "error|Line Watchman - ISP name is invalid|A PPPoE connection with that name is "
              "invalid.\nThe following characters are not allowed: |><?*\\/:\nPlease correct ISP "
              "name and try again.");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);

    Entry("taken", "Other AC");
    dialog.SetName("taken");
    dialog.OkButton()->click();
    ASSERT_EQ(boxes_.asked.size(), 2u);
    EXPECT_EQ(boxes_.asked[1],
              "question|Line Watchman - Connection already exists|A PPPoE connection with that "
              "name already exists.\nDo you want to overwrite the existing connection?");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.Name(), "taken");

    boxes_.answerYes = true;
    dialog.OkButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(boxes_.asked.size(), 3u);

    CIspNameDlg fresh(boxes_);
    fresh.show();
    fresh.SetName("free & clear");
    fresh.OkButton()->click();
    EXPECT_EQ(fresh.result(), QDialog::Accepted);
    EXPECT_EQ(boxes_.asked.size(), 3u);  // a free, valid name asks nothing
}

TEST_F(ConnectionDialogsTest, AskConnectionNameSuggestsTheFirstFreeName) {
    for (const char* taken : {"AC", "AC (1)", "AC (2)"}) {
        Entry(taken, "Another AC");
    }
    std::string shown;
    auto answer = [&shown](bool ok) {
        QTimer::singleShot(0, [&shown, ok] {
            auto* dialog = qobject_cast<CIspNameDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            shown = dialog->Name();
            if (ok) {
                dialog->OkButton()->click();
            } else {
                dialog->CancelButton()->click();
            }
        });
    };
    std::string name;
    answer(true);
    EXPECT_TRUE(AskConnectionName(boxes_, nullptr, "AC", name));
    EXPECT_EQ(shown, "AC (3)");
    EXPECT_EQ(name, "AC (3)");

    answer(false);
    name.clear();
    EXPECT_FALSE(AskConnectionName(boxes_, nullptr, "New AC", name));
    EXPECT_EQ(shown, "New AC");
    EXPECT_TRUE(name.empty());

    answer(false);
    EXPECT_FALSE(AskConnectionName(boxes_, nullptr, "AC:with/colon", name));
    EXPECT_EQ(shown, "");  // not a valid entry name: nothing suggested
}

TEST_F(ConnectionDialogsTest, MenuItemsCarryAtMostTenEntriesByPositionWithAmpersandsIntact) {
    for (int i = 0; i < 12; ++i) {
        Entry(std::string("e") + static_cast<char>('a' + i) + " & co", "AC");
    }
    Entry("other", "Other AC");

    ConnectionMenu context;
    BuildConnectionMenu(context, "AC", true, true, true);
    ASSERT_EQ(context.items.size(), 15u);  // create, sep, header, 10 entries, sep, remove
    EXPECT_EQ(context.items[0].id, kIdCreateConnection);
    EXPECT_EQ(context.items[0].text, "Create new connection");
    EXPECT_EQ(context.items[1].kind, ConnectionMenuItem::Kind::Separator);
    EXPECT_EQ(context.items[2].kind, ConnectionMenuItem::Kind::Header);
    EXPECT_EQ(context.items[2].text, "Available connections:");
    EXPECT_FALSE(context.items[2].enabled);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(context.items[3 + i].id, kFirstConnectionId + i);
        EXPECT_EQ(context.items[3 + i].text,
                  std::string("e") + static_cast<char>('a' + i) + " & co");
    }
    EXPECT_EQ(context.items[14].id, kIdRemoveAc);
    EXPECT_EQ(context.items[14].text, "Remove");
    EXPECT_EQ(context.names.size(), 10u);
    EXPECT_EQ(EntryOfCommand(context, 106), "ea & co");
    EXPECT_EQ(EntryOfCommand(context, 115), "ej & co");
    EXPECT_FALSE(EntryOfCommand(context, 116).has_value());
    EXPECT_FALSE(EntryOfCommand(context, kIdCreateConnection).has_value());

    QMenu qmenu;
    FillMenu(qmenu, context);
    const QList<QAction*> actions = qmenu.actions();
    ASSERT_EQ(actions.size(), 15);
    EXPECT_EQ(actions[3]->text(), "ea && co");  // shown as "ea & co", no shortcut mark
    EXPECT_EQ(actions[3]->data().toInt(), 106);
    EXPECT_FALSE(actions[2]->isEnabled());
    EXPECT_TRUE(actions[1]->isSeparator());

    // The menu bar's popup keeps its own first item; a concentrator without
    // entries adds nothing to it, and a build with fewer entries leaves no
    // stale names behind.
    ConnectionMenu bar;
    bar.items.push_back({ConnectionMenuItem::Kind::Command, 32787, "Create new connection", true});
    bar.names = {"stale"};
    BuildConnectionMenu(bar, "Nobody's AC", false, true, false);
    EXPECT_EQ(bar.items.size(), 1u);
    EXPECT_TRUE(bar.names.empty());
    EXPECT_FALSE(EntryOfCommand(bar, 106).has_value());
    BuildConnectionMenu(bar, "Other AC", false, true, false);
    ASSERT_EQ(bar.items.size(), 4u);
    EXPECT_EQ(bar.items[1].kind, ConnectionMenuItem::Kind::Separator);
    EXPECT_EQ(EntryOfCommand(bar, 106), "other");
}

TEST_F(ConnectionDialogsTest, DialDialogShowsPppdsLinesLiveAndCancelEndsIt) {
    const std::string script = folder_.File(".pppd");
    std::ofstream(script)
        << "#!/bin/sh\necho \"dialling $2 as $5\"\necho waiting\nexec sleep 1000\n";
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    DialRequest stand_in;
    stand_in.pppdPath = script;
    stand_in.peersFolder = folder_.Path();

    auto dialog = std::make_unique<KtDialDialog>("isp & co");
    dialog->SetRequestTemplate(stand_in);
    dialog->show();
    dialog->UserEdit()->setText("bob");
    dialog->PasswordEdit()->setText("secret");
    EXPECT_EQ(dialog->PasswordEdit()->echoMode(), QLineEdit::Password);
    dialog->DialButton()->click();
    EXPECT_TRUE(dialog->Running());
    EXPECT_FALSE(dialog->DialButton()->isEnabled());
    WaitUntil([&] { return dialog->Output()->toPlainText().contains("waiting"); });
    EXPECT_TRUE(dialog->Output()->toPlainText().startsWith(
        QString::fromStdString("dialling " + folder_.File("isp & co") + " as bob")));

    dialog->CancelButton()->click();  // ends pppd, the dialog stays
    WaitUntil([&] { return !dialog->Running(); });
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->Outcome().cancelled);
    EXPECT_TRUE(dialog->Output()->toPlainText().contains("The dial was cancelled."));
    EXPECT_FALSE(dialog->Output()->toPlainText().contains("secret"));
    EXPECT_TRUE(dialog->DialButton()->isEnabled());

    dialog->CancelButton()->click();  // nothing runs: closes
    EXPECT_FALSE(dialog->isVisible());
}

// Answers the modal dialogs as they come up: the name dialog with `name`, a
// dial dialog by closing it (and counting it).
class ModalAnswerer {
  public:
    explicit ModalAnswerer(std::string name) : name_(std::move(name)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* ask = qobject_cast<CIspNameDlg*>(modal)) {
                ask->SetName(name_);
                ask->OkButton()->click();
            } else if (auto* dial = qobject_cast<KtDialDialog*>(modal)) {
                ++dialsShown;
                dial->CancelButton()->click();
            }
        });
        timer_.start(10);
    }
    int dialsShown = 0;

  private:
    std::string name_;
    QTimer timer_;
};

// The steps of the window's Connect on an AC without entries, with the
// desktop's own dialogs: ask a name, write the entry, dial it (the window
// dials only after a written entry).
TEST_F(ConnectionDialogsTest, AFailedCreateIsShownAndAWrittenEntryIsDialled) {
    std::filesystem::create_directory(folder_.File("blocked"));
    boxes_.answerYes = true;  // overwrite "blocked": the write then fails
    {
        ModalAnswerer answerer("blocked");
        std::string name;
        ASSERT_TRUE(AskConnectionName(boxes_, nullptr, "Lab AC", name));
        EXPECT_EQ(name, "blocked");
        EXPECT_FALSE(CreateConnectionOrTell(boxes_, nullptr, "Lab AC", name, "eth0"));
    }
    ASSERT_EQ(boxes_.asked.size(), 2u);
    EXPECT_EQ(boxes_.asked[0].rfind("question|", 0), 0u);
    EXPECT_EQ(boxes_.asked[1].rfind("error|Line Watchman|The connection entry was not written", 0),
              0u)
        << boxes_.asked[1];

    {
        ModalAnswerer answerer("good");
        std::string name;
        ASSERT_TRUE(AskConnectionName(boxes_, nullptr, "Lab AC", name));
        ASSERT_TRUE(CreateConnectionOrTell(boxes_, nullptr, "Lab AC", name, "eth0"));
        DialConnection(nullptr, name);
        EXPECT_EQ(answerer.dialsShown, 1);
    }
    std::vector<KtRasConnection> found;
    FindConnections("PPPoE", "Lab AC", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Name(), "good");

    TellPeersFolderUnreadable(boxes_, nullptr);
    EXPECT_NE(boxes_.asked.back().find("Join the 'dip' group"), std::string::npos);
}

TEST_F(ConnectionDialogsTest, AHandWrittenEntryIsReplacedOnlyAfterTheUserSaidYes) {
    const std::string handWritten = "# by hand\nplugin rp-pppoe.so\nuser \"me@isp\"\n";
    std::ofstream(folder_.File("provider")) << handWritten;
    std::ofstream(folder_.File("mine")) << handWritten;

    // Created without the overwrite question (a name that looked free): kept.
    EXPECT_FALSE(CreateConnectionOrTell(boxes_, nullptr, "Lab AC", "mine", "eth0"));
    EXPECT_EQ(ReadFile(folder_.File("mine")), handWritten);
    ASSERT_EQ(boxes_.asked.size(), 1u);
    EXPECT_NE(boxes_.asked[0].find("was not written by Line Watchman and is left as it is"),
              std::string::npos)
        << boxes_.asked[0];

    // Yes in the overwrite question lets exactly that name go, once.
    boxes_.answerYes = true;
    {
        ModalAnswerer answerer("provider");
        std::string name;
        ASSERT_TRUE(AskConnectionName(boxes_, nullptr, "Lab AC", name));
        EXPECT_TRUE(CreateConnectionOrTell(boxes_, nullptr, "Lab AC", name, "eth0"));
    }
    EXPECT_EQ(boxes_.asked.back().rfind("question|", 0), 0u);
    std::vector<KtRasConnection> found;
    FindConnections("PPPoE", "Lab AC", found);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].Name(), "provider");
    EXPECT_EQ(TakeAgreedReplacement("provider"), PeersReplace::OwnEntries);

    CIspNameDlg dialog(boxes_);
    EXPECT_TRUE(dialog.FolderHint()->isHidden());
    dialog.ShowFolderHint(UnreadableFolderAdvice());
    EXPECT_FALSE(dialog.FolderHint()->isHidden());
    EXPECT_NE(dialog.FolderHint()->text().toStdString().find("'dip' group"), std::string::npos);
}
