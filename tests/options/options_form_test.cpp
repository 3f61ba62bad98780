// The options window as a user drives it: tree, spins and edits of the
// behaviour pages, OK and Cancel.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "options/number_spin.h"
#include "options_test_support.h"
#include "ui/task_registry.h"

namespace {

class OptionsWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        form_ = new COptionsForm(settings_.list, KtOptionsContext{&dialogs_, "02:00:00:0A:0B:0C"});
        form_->show();
        form_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form_));
    }
    void TearDown() override { delete form_.data(); }

    RecordedList settings_;
    ScriptedDialogs dialogs_;
    QPointer<COptionsForm> form_;
};

QString AccessibleName(QWidget* widget) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible != nullptr ? accessible->text(QAccessible::Name) : QString();
}

}  // namespace

TEST_F(OptionsWindow, OpensAtItsSizeOnTheSystemPageAndAGroupClickShowsItsFirstPage) {
    EXPECT_EQ(form_->size(), QSize(593, 403));
    EXPECT_NE(qobject_cast<COptionsFormPgGenDlg*>(form_->CurrentPage()), nullptr);
    EXPECT_EQ(form_->TitleLabel()->text(), "System");
    EXPECT_TRUE(form_->TitleLabel()->font().bold());
    // The tree takes the focus when the window opens: its current item is
    // then the page shown, never a group heading.
    if (QTreeWidgetItem* current = form_->Tree()->currentItem()) {
        EXPECT_EQ(current->text(0), "System");
    }

    QTreeWidgetItem* behaviour = form_->Tree()->findItems("Behaviour", Qt::MatchExactly).front();
    QTest::mouseClick(form_->Tree()->viewport(), Qt::LeftButton, {},
                      form_->Tree()->visualItemRect(behaviour).center());
    EXPECT_EQ(form_->Tree()->currentItem()->text(0), "Monitor");
    EXPECT_EQ(form_->TitleLabel()->text(), "Monitor");
    auto* page = qobject_cast<COptionsFormPgPopWndDlg*>(form_->CurrentPage());
    ASSERT_NE(page, nullptr);
    // The keyboard moving up onto a group heading goes on to the page above.
    form_->Tree()->setFocus();
    QTest::keyClick(form_->Tree(), Qt::Key_Up);
    EXPECT_EQ(form_->Tree()->currentItem()->text(0), "Sound events");

    // Every control is named by the text the user sees beside it.
    page = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    EXPECT_EQ(AccessibleName(page->IntervalSpin()), "PADI send interval, sec:");
    EXPECT_EQ(AccessibleName(page->WaitSpin()), "PADO waiting time, msec:");
    EXPECT_EQ(AccessibleName(form_->OkButton()), "OK");
    // Escape on a page ends nothing.
    QTest::keyClick(page->IntervalSpin(), Qt::Key_Escape);
    EXPECT_TRUE(form_->isVisible());
    EXPECT_EQ(form_->CurrentPage(), page);
}

TEST_F(OptionsWindow, SpinStepsFollowTheirRulesAndStoreAsPending) {
    settings_.list.SetProperty(kPropMonPADISendInterval, KtPropertyValue(1));
    settings_.list.SetProperty(kPropMonPADOWaitTime, KtPropertyValue(1000));
    auto* page = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    KtNumberSpin* interval = page->IntervalSpin();
    KtNumberSpin* wait = page->WaitSpin();
    KtAppPropertyEditor& editor = form_->Editor();

    interval->stepBy(1);
    EXPECT_EQ(interval->Edit()->text(), "10");
    interval->stepBy(1);
    EXPECT_EQ(interval->Position(), 20);
    interval->stepBy(-1);
    EXPECT_EQ(editor.GetProperty(kPropMonPADISendInterval).AsInt(), 10);
    // Down to one second pulls the wait back to 900 ms, shown and pending.
    interval->stepBy(-1);
    EXPECT_EQ(interval->Position(), 1);
    EXPECT_EQ(wait->Edit()->text(), "900");
    EXPECT_EQ(editor.GetProperty(kPropMonPADOWaitTime).AsInt(), 900);
    wait->stepBy(1);
    EXPECT_EQ(wait->Position(), 900);
    wait->stepBy(-1);
    EXPECT_EQ(wait->Position(), 800);
    for (int i = 0; i < 12; ++i) wait->stepBy(-1);
    EXPECT_EQ(editor.GetProperty(kPropMonPADOWaitTime).AsInt(), 100);
    // The list is untouched until OK.
    EXPECT_EQ(settings_.Int(kPropMonPADISendInterval), 1);
    EXPECT_TRUE(settings_.batches.empty());
}

TEST_F(OptionsWindow, TypedNumbersClampWithWriteBackAndSurviveAPageSwitchAndAnImmediateOk) {
    auto* page = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    TypeInto(page->IntervalSpin()->Edit(), "5000");
    page->WaitSpin()->setFocus();  // focus loss stores
    EXPECT_EQ(page->IntervalSpin()->Edit()->text(), "3600");
    EXPECT_EQ(form_->Editor().GetProperty(kPropMonPADISendInterval).AsInt(), 3600);
    // A pasted number past 32 bits saturates at the bound.
    TypeInto(page->WaitSpin()->Edit(), "99999999999");
    // A value typed and then a page switch, with no focus loss delivered.
    TypeInto(page->DownAfterSpin()->Edit(), "250");
    form_->SelectPage("Logs");
    page = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    EXPECT_EQ(page->WaitSpin()->Edit()->text(), "1000");
    EXPECT_EQ(page->DownAfterSpin()->Edit()->text(), "100");
    // Leaving an edit unchanged stores nothing.
    page->IntervalSpin()->setFocus();
    page->WaitSpin()->setFocus();
    // A value typed and OK pressed at once, as a shortcut or a screen reader
    // presses it: the edit keeps the focus, no focus loss comes.
    TypeInto(page->IntervalSpin()->Edit(), "0");
    form_->OkButton()->click();
    EXPECT_EQ(settings_.Int(kPropMonPADISendInterval), 1);
    EXPECT_EQ(settings_.Int(kPropMonPADOWaitTime), 1000);
    EXPECT_EQ(settings_.Int(kPropMonStateDownAfterUnanswer), 100);
    ASSERT_EQ(settings_.batches.size(), 1u);
    EXPECT_EQ(settings_.batches[0],
              (std::vector<int32_t>{kPropMonPADISendInterval, kPropMonPADOWaitTime,
                                    kPropMonStateDownAfterUnanswer}));
}

TEST_F(OptionsWindow, TheSourceMacIsCheckedStrictlyAndStoredInItsLongForm) {
    auto* page = ShowPage<COptionsFormPgPcap>(*form_, "Packet capture");
    EXPECT_EQ(page->MacEdit()->text(), "02:00:00:0A:0B:0C");  // the adapter's own
    EXPECT_FALSE(page->MacEdit()->isEnabled());
    auto* use = page->findChild<QCheckBox*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(use, nullptr);
    QTest::mouseClick(use, Qt::LeftButton);
    EXPECT_EQ(form_->Editor().GetProperty(kPropPcapUseSourceMAC).AsInt(), 1);
    EXPECT_EQ(form_->Editor().GetProperty(kPropPcapPromiscuousMode).AsInt(), 1);
    EXPECT_EQ(form_->Editor().GetProperty(kPropPcapSourceMAC).AsString(), "02:00:00:0A:0B:0C");

    TypeInto(page->MacEdit(), "00-11-22-33-44-55");
    page->StoreEdits();
    EXPECT_EQ(dialogs_.errors, std::vector<std::string>{"Invalid MAC address."});
    EXPECT_EQ(form_->Editor().GetProperty(kPropPcapSourceMAC).AsString(), "02:00:00:0A:0B:0C");
    for (const char* refused : {"0:1:2:3:4", " 0:1:2:3:4:5", "0:1:2:3:4:5x", "0x1:2:3:4:5:6"}) {
        EXPECT_FALSE(CanonicalMacText(refused)) << refused;
    }
    TypeInto(page->MacEdit(), "0:1:2:3:4:5");
    QTest::mouseClick(form_->OkButton(), Qt::LeftButton);
    EXPECT_EQ(settings_.String(kPropPcapSourceMAC), "00:01:02:03:04:05");
    EXPECT_EQ(settings_.Int(kPropPcapUseSourceMAC), 1);
}

// A group or all-zero source MAC is no station's own: probes from it would
// mislead switches and bridges.
TEST_F(OptionsWindow, GroupAndZeroSourceMacsAreRefusedWithThePagesError) {
    auto* page = ShowPage<COptionsFormPgPcap>(*form_, "Packet capture");
    auto* use = page->findChild<QCheckBox*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(use, nullptr);
    QTest::mouseClick(use, Qt::LeftButton);
    ASSERT_EQ(form_->Editor().GetProperty(kPropPcapSourceMAC).AsString(), "02:00:00:0A:0B:0C");
    for (const char* refused :
         {"FF:FF:FF:FF:FF:FF", "01:00:5E:00:00:01", "33:33:00:00:00:01", "0:0:0:0:0:0"}) {
        dialogs_.errors.clear();
        TypeInto(page->MacEdit(), refused);
        page->StoreEdits();
        EXPECT_EQ(dialogs_.errors, std::vector<std::string>{"Invalid MAC address."}) << refused;
        EXPECT_EQ(form_->Editor().GetProperty(kPropPcapSourceMAC).AsString(), "02:00:00:0A:0B:0C")
            << refused;
    }
    // Unchecked with a refused text shown: checking again refuses to use it.
    QTest::mouseClick(use, Qt::LeftButton);
    dialogs_.errors.clear();
    QTest::mouseClick(use, Qt::LeftButton);
    EXPECT_FALSE(use->isChecked());
    EXPECT_EQ(dialogs_.errors, std::vector<std::string>{"Invalid MAC address."});
    TypeInto(page->MacEdit(), "fe:ff:ff:ff:ff:ff");
    QTest::mouseClick(use, Qt::LeftButton);
    QTest::mouseClick(form_->OkButton(), Qt::LeftButton);
    EXPECT_EQ(settings_.String(kPropPcapSourceMAC), "FE:FF:FF:FF:FF:FF");
    EXPECT_EQ(settings_.Int(kPropPcapUseSourceMAC), 1);
}

TEST_F(OptionsWindow, CancelAfterChangesOnSeveralPagesLeavesEverySetting) {
    auto* monitor = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    monitor->IntervalSpin()->stepBy(1);
    auto* logs = ShowPage<COptionsFormPgLogs>(*form_, "Logs");
    TypeInto(logs->FolderEdit(), "/tmp/elsewhere");
    auto* sound = ShowPage<COptionsFormDlgSound>(*form_, "Sound events");
    dialogs_.soundFiles.push_back(QString("/tmp/ring.wav"));
    sound->findChildren<QPushButton*>().front()->click();
    // Pending values show again when a page is visited again.
    logs = ShowPage<COptionsFormPgLogs>(*form_, "Logs");
    EXPECT_EQ(logs->FolderEdit()->text(), "/tmp/elsewhere");
    QTest::mouseClick(form_->CancelButton(), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(form_.isNull());
    EXPECT_TRUE(settings_.batches.empty());
    EXPECT_EQ(settings_.Int(kPropMonPADISendInterval), 30);
    EXPECT_EQ(settings_.String(kPropLogDirectory), std::string(kDefaultLogDirectory));
    EXPECT_EQ(settings_.String(kPropSndEvtCableUnplugFileName), "");
}

TEST_F(OptionsWindow, SoundFilesGoToTheRowTheyWereTypedFor) {
    auto* page = ShowPage<COptionsFormDlgSound>(*form_, "Sound events");
    // Browse right after opening sets the first event's file.
    dialogs_.soundFiles.push_back(QString("/sounds/unplug.wav"));
    page->findChildren<QPushButton*>().front()->click();
    EXPECT_EQ(form_->Editor().GetProperty(kPropSndEvtCableUnplugFileName).AsString(),
              "/sounds/unplug.wav");
    page->List()->setCurrentItem(page->List()->topLevelItem(0));
    EXPECT_EQ(page->FileEdit()->text(), "/sounds/unplug.wav");
    TypeInto(page->FileEdit(), "/sounds/typed.wav");
    page->List()->setCurrentItem(page->List()->topLevelItem(1));
    EXPECT_EQ(form_->Editor().GetProperty(kPropSndEvtCableUnplugFileName).AsString(),
              "/sounds/typed.wav");
    EXPECT_EQ(page->FileEdit()->text(), "");
    EXPECT_EQ(page->List()->topLevelItem(0)->text(1), "/sounds/typed.wav");
}

TEST_F(OptionsWindow, OpeningTwiceBringsTheSameWindowForward) {
    COptionsForm* first = OpenOptionsForm(settings_.list, {&dialogs_, ""});
    EXPECT_EQ(OpenOptionsForm(settings_.list, {&dialogs_, ""}), first);
    EXPECT_EQ(KtTaskRegistry::Get().FindNamedWindow(COptionsForm::kWindowName), first);
    delete first;
    EXPECT_EQ(KtTaskRegistry::Get().FindNamedWindow(COptionsForm::kWindowName), nullptr);
}

TEST_F(OptionsWindow, AScreenReadersValueAndToggleActionsAreStoredAsTheUsersOwn) {
    auto* page = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    // The spin box's value through the accessibility bridge: read as shown,
    // written like a typed value, held within the range.
    QAccessibleValueInterface* value =
        QAccessible::queryAccessibleInterface(page->IntervalSpin())->valueInterface();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->currentValue().toInt(), page->IntervalSpin()->Position());
    value->setCurrentValue(7);
    EXPECT_EQ(page->IntervalSpin()->Edit()->text(), "7");
    value->setCurrentValue(100000);
    EXPECT_EQ(value->currentValue().toInt(), value->maximumValue().toInt());
    // A check box toggled by its accessible action, with no click.
    QCheckBox* balloons = nullptr;
    for (QCheckBox* box : page->findChildren<QCheckBox*>())
        if (box->text() == "Inform about AC state change with balloon tooltips") balloons = box;
    ASSERT_NE(balloons, nullptr);
    const bool before = balloons->isChecked();
    QAccessibleActionInterface* action =
        QAccessible::queryAccessibleInterface(balloons)->actionInterface();
    ASSERT_NE(action, nullptr);
    action->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_NE(balloons->isChecked(), before);
    form_->OkButton()->click();
    EXPECT_EQ(settings_.Int(kPropMonPADISendInterval), value->maximumValue().toInt());
    EXPECT_EQ(settings_.Int(kPropMonTrayShowTooltips), before ? 0 : 1);
}

TEST_F(OptionsWindow, TextAndChoicesSetThroughTheAccessibilityBusAreStored) {
    // Dictation and screen readers replace an edit's text through its
    // editable-text interface: no key is pressed, and the text must be kept.
    auto replace = [](QWidget* edit, const QString& text) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(edit);
        ASSERT_NE(accessible, nullptr);
        QAccessibleEditableTextInterface* editable = accessible->editableTextInterface();
        ASSERT_NE(editable, nullptr);
        editable->replaceText(0, accessible->textInterface()->characterCount(), text);
    };
    auto* logs = ShowPage<COptionsFormPgLogs>(*form_, "Logs");
    replace(logs->FolderEdit(), "/srv/linewatch-logs");
    EXPECT_EQ(logs->FolderEdit()->text(), "/srv/linewatch-logs");
    auto* pcap = ShowPage<COptionsFormPgPcap>(*form_, "Packet capture");
    auto* use = pcap->findChild<QCheckBox*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(use, nullptr);
    QAccessible::queryAccessibleInterface(use)->actionInterface()->doAction(
        QAccessibleActionInterface::toggleAction());
    replace(pcap->MacEdit(), "2:4c:57:0:0:9");
    auto* sound = ShowPage<COptionsFormDlgSound>(*form_, "Sound events");
    replace(sound->FileEdit(), "/sounds/spoken.wav");
    auto* monitor = ShowPage<COptionsFormPgPopWndDlg>(*form_, "Monitor");
    replace(monitor->WaitSpin(), "700");
    form_->OkButton()->click();
    EXPECT_EQ(settings_.String(kPropLogDirectory), "/srv/linewatch-logs");
    EXPECT_EQ(settings_.String(kPropPcapSourceMAC), "02:4C:57:00:00:09");
    EXPECT_EQ(settings_.String(kPropSndEvtCableUnplugFileName), "/sounds/spoken.wav");
    EXPECT_EQ(settings_.Int(kPropMonPADOWaitTime), 700);

    // The start-up dialog takes a radio checked by a screen reader's toggle
    // action or the arrow keys, with no click.
    CDlgEditAutoStartup dialog(nullptr, 0);
    QList<QRadioButton*> radios = dialog.findChildren<QRadioButton*>();
    ASSERT_EQ(radios.size(), 3);
    QAccessibleActionInterface* toggle =
        QAccessible::queryAccessibleInterface(radios[1])->actionInterface();
    ASSERT_NE(toggle, nullptr);
    toggle->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(radios[1]->isChecked());
    EXPECT_EQ(dialog.Mode(), 1);
    radios[2]->setChecked(true);
    EXPECT_EQ(dialog.Mode(), 2);
}
