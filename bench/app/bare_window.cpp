// The start-up baseline: a bare Qt window, linking Qt Widgets only.
#include "bench/app/exposeprobe.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ExposeProbe probe;
    app.installEventFilter(&probe);
    QMainWindow bare;
    bare.resize(300, 450);
    bare.show();
    return QApplication::exec();
}
