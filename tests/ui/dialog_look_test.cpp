#include <gtest/gtest.h>

#include <QGuiApplication>

#include "ui/dialog_fonts.h"
#include "ui/window_icons.h"
#include "ui_test_support.h"

TEST(DialogLook, FontsAndIcons) {
    TestApplication();
    const QFont base = QGuiApplication::font();
    EXPECT_EQ(GetDialogFont(), base);
    EXPECT_TRUE(GetDialogLinkFont().underline());
    EXPECT_EQ(GetDialogTitleFont().weight(), QFont::Bold);
    if (base.pixelSize() > 0) {
        EXPECT_EQ(GetDialogTitleFont().pixelSize(), base.pixelSize() * 5 / 4);
    } else {
        EXPECT_EQ(GetDialogTitleFont().pointSize(), static_cast<int>(base.pointSizeF() * 1.25));
    }
    for (const KtWindowIcon which :
         {KtWindowIcon::Application, KtWindowIcon::Normal, KtWindowIcon::Alarm}) {
        const QList<QSize> sizes = LoadWindowIcon(which).availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)));
    }
    // Green for normal, orange for alarm, read beside the centre of the disc.
    const QColor normal = RenderWindowIcon(KtWindowIcon::Normal, 32).toImage().pixelColor(8, 24);
    const QColor alarm = RenderWindowIcon(KtWindowIcon::Alarm, 32).toImage().pixelColor(8, 24);
    EXPECT_GT(normal.green(), 2 * normal.red());
    EXPECT_GT(alarm.red(), 200);
    EXPECT_NEAR(alarm.green(), 128, 20);
    EXPECT_LT(alarm.blue(), 40);
}
