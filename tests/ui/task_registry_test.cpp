#include "ui/task_registry.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPointer>

#include "ui/about_box.h"
#include "ui/form_base.h"
#include "ui_test_support.h"

namespace {

int tasksDeleted = 0;
int windowsDeleted = 0;

class CountedForm : public KtFormBase {
  public:
    ~CountedForm() override { ++windowsDeleted; }
};

// A windowed task of another type than the about task, as the monitor task is.
class KtTaskProbe : public KtTaskWindowed {
  public:
    KtTaskProbe() {
        auto* form = new CountedForm;
        form->show();
        form->SetOwnerTask(this);
        SetWindow(form);
    }
    ~KtTaskProbe() override { ++tasksDeleted; }
};

class TaskRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        tasksDeleted = 0;
        windowsDeleted = 0;
    }
    void TearDown() override {
        registry.CloseAll();
        registry.SetMainWindow(nullptr);
    }
    // Runs the deletions that closing a window queued.
    static void DeliverDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    KtTaskRegistry& registry = KtTaskRegistry::Get();
};

}  // namespace

TEST_F(TaskRegistryTest, FindsByExactNameAndTypeInCreationOrder) {
    auto* about = registry.FindOrCreate<KtTaskAbout>("AboutBox");
    auto* monitor = registry.FindOrCreate<KtTaskProbe>("AboutBox");
    EXPECT_NE(static_cast<KtCoreTask*>(about), static_cast<KtCoreTask*>(monitor));
    EXPECT_EQ(registry.FindOrCreate<KtTaskAbout>("AboutBox"), about);
    EXPECT_EQ(registry.FindOrCreate<KtTaskProbe>("AboutBox"), monitor);
    EXPECT_NE(registry.FindOrCreate<KtTaskAbout>("aboutbox"), about);
    auto* unnamed = registry.FindOrCreate<KtTaskProbe>("");
    EXPECT_NE(registry.FindOrCreate<KtTaskProbe>(""), unnamed);
    EXPECT_EQ(registry.TaskCount(), 5u);
    EXPECT_TRUE(about->Window()->isVisible());
    EXPECT_EQ(about->Window()->OwnerTask(), about);
}

TEST_F(TaskRegistryTest, UserClosingTheWindowEndsTheTaskOnce) {
    auto* task = registry.FindOrCreate<KtTaskProbe>("Probe");
    QPointer<KtFormBase> window = task->Window();
    window->close();
    DeliverDeletes();
    EXPECT_TRUE(window.isNull());
    EXPECT_EQ(windowsDeleted, 1);
    EXPECT_EQ(tasksDeleted, 1);
    EXPECT_EQ(registry.TaskCount(), 0u);
    // The next request makes a new task and window.
    auto* again = registry.FindOrCreate<KtTaskProbe>("Probe");
    ASSERT_NE(again->Window(), nullptr);
    EXPECT_EQ(registry.TaskCount(), 1u);
}

TEST_F(TaskRegistryTest, ProgramClosingTheTaskDestroysTheWindowOnce) {
    auto* parentTask = registry.FindOrCreate<KtTaskProbe>("Main");
    registry.SetMainWindow(parentTask->Window());
    auto* about = registry.FindOrCreate<KtTaskAbout>("AboutBox");
    QPointer<KtFormBase> aboutWindow = about->Window();
    EXPECT_EQ(aboutWindow->parentWidget(), parentTask->Window());
    auto* other = registry.FindOrCreate<KtTaskProbe>("Other");
    QPointer<KtFormBase> otherWindow = other->Window();
    registry.CloseTask(other);
    EXPECT_TRUE(otherWindow.isNull());
    EXPECT_EQ(windowsDeleted, 1);
    EXPECT_EQ(tasksDeleted, 1);
    registry.CloseTask(other);  // no longer registered: nothing happens
    EXPECT_EQ(tasksDeleted, 1);
    // Closing the main window's task also ends the about box it parents.
    registry.CloseTask(parentTask);
    DeliverDeletes();
    EXPECT_TRUE(aboutWindow.isNull());
    EXPECT_EQ(registry.TaskCount(), 0u);
    EXPECT_EQ(windowsDeleted, 2);
    EXPECT_EQ(tasksDeleted, 2);
}

TEST_F(TaskRegistryTest, NamedWindowsAndFittedLabels) {
    QWidget first;
    QWidget second;
    registry.RegisterNamedWindow("Options", &first);
    registry.RegisterNamedWindow("Options", &second);
    EXPECT_EQ(registry.FindNamedWindow("Options"), &first);
    EXPECT_EQ(registry.FindNamedWindow("options"), nullptr);
    registry.UnregisterNamedWindow(&first);
    registry.UnregisterNamedWindow(&first);
    EXPECT_EQ(registry.FindNamedWindow("Options"), &second);
    registry.UnregisterNamedWindow(&second);
    EXPECT_EQ(registry.FindNamedWindow("Options"), nullptr);

    QLabel label(QStringLiteral("PADI send interval, sec:"), &first);
    label.move(7, 9);
    FitLabelToText(&label);
    const QFontMetrics metrics(label.font());
    EXPECT_EQ(label.width(), metrics.horizontalAdvance(label.text()) + 2);
    EXPECT_EQ(label.height(), metrics.height());
    EXPECT_EQ(label.pos(), QPoint(7, 9));
}
