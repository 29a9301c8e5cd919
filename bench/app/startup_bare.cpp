// The smallest Qt window program: an empty main window of the chat window's
// size, ending as soon as it is exposed. The yardstick for bench_startup.
#include "bench/app/exposeprobe.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    natter::bench::markStage("main");
    QApplication app(argc, argv);
    natter::bench::markStage("application");
    natter::bench::ExposeProbe probe;
    app.installEventFilter(&probe);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Natter Duo"));
    window.resize(300, 450);
    natter::bench::markStage("windows");
    window.show();
    return QApplication::exec();
}
