#include "ui/about_box.h"

#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <vector>

#include "core/program_paths.h"
#include "test_support.h"
#include "ui/static_link.h"
#include "ui/url_opener.h"
#include "ui_test_support.h"

namespace {

class RecordingOpener final : public KtUrlOpener {
  public:
    bool Open(const QUrl& url) override {
        opened.push_back(url.toString());
        return true;
    }
    std::vector<QString> opened;
};

void SendMouse(QWidget* widget, QEvent::Type type) {
    const QPointF inside(3, 3);
    QMouseEvent event(type, inside, widget->mapToGlobal(inside), Qt::LeftButton,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

}  // namespace

TEST(AboutBox, ShowsTheTextsVersionAndLinks) {
    TestApplication();
    auto* task = KtTaskRegistry::Get().FindOrCreate<KtTaskAbout>("AboutBox");
    KtFormAboutBox* box = task->AboutBox();
    RecordingOpener opener;
    box->SetUrlOpener(&opener);

    EXPECT_EQ(box->windowTitle(), "About Line Watchman");
    EXPECT_EQ(box->size(), QSize(420, 320));
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    EXPECT_EQ(box->VersionLabel()->text(), "Version 1.1.7 (1.1.7.208)");
    EXPECT_EQ(box->VersionLabel()->geometry(), QRect(70, 52, 348, 16));
    EXPECT_EQ(box->OkButton()->geometry(), QRect(335, 290, 75, 23));
    EXPECT_EQ(box->OkButton()->text(), "OK");
    EXPECT_EQ(box->focusWidget(), box->OkButton());
    std::vector<QString> shown;
    for (QLabel* label : box->findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
        if (label->pixmap().isNull()) {
            EXPECT_EQ(label->accessibleName(), label->text());
        }
        shown.push_back(label->text());
    }
    EXPECT_EQ(box->OkButton()->accessibleName(), "OK");
    for (const char* text : {"Line Watchman", "PPPoE services monitoring tool",
                             "Web site:", "Technical support:", KtFormAboutBox::kWebSiteAddress}) {
        EXPECT_NE(std::find(shown.begin(), shown.end(), QString::fromUtf8(text)), shown.end())
            << text;
    }

    KtStaticLink* support = box->SupportLink();
    EXPECT_EQ(support->font().underline(), true);
    EXPECT_EQ(support->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), support->mapToGlobal(QPointF(3, 3)));
    QCoreApplication::sendEvent(support, &enter);
    EXPECT_EQ(support->palette().color(QPalette::WindowText), QColor(255, 128, 0));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(support, &leave);
    EXPECT_EQ(support->palette().color(QPalette::WindowText), QColor(0, 0, 128));

    // The action runs on release, not on the press.
    SendMouse(support, QEvent::MouseButtonPress);
    EXPECT_TRUE(opener.opened.empty());
    SendMouse(support, QEvent::MouseButtonRelease);
    SendMouse(box->WebLink(), QEvent::MouseButtonPress);
    SendMouse(box->WebLink(), QEvent::MouseButtonRelease);
    EXPECT_EQ(opener.opened,
              (std::vector<QString>{QStringLiteral("mailto:") + KtFormAboutBox::kSupportAddress,
                                    KtFormAboutBox::kWebSiteAddress}));

    // About again brings the same box; OK closes it and ends the task.
    EXPECT_EQ(KtTaskRegistry::Get().FindOrCreate<KtTaskAbout>("AboutBox"), task);
    box->OkButton()->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(KtTaskRegistry::Get().Contains(task));
}

TEST(AboutBox, VersionLineOfAFileWithoutVersion) {
    TestApplication();
    EXPECT_EQ(AboutVersionLine(GetProgramPath()), "Version 1.1.7 (1.1.7.208)");
    TempFolder folder;
    const std::string plain = folder.File("plain");
    std::ofstream(plain) << "no version here\n";
    EXPECT_EQ(AboutVersionLine(plain), "Version  ()");
    EXPECT_EQ(AboutVersionLine(folder.File("missing")), "Version  ()");
}
