// linewatch: the desktop program.
#include <QApplication>

#include "desktop/linewatch_app.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    CLinewatchApp app;
    return app.Run();
}
