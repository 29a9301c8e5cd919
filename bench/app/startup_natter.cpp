// The real program, started as a user would start it (real platform services,
// main window with its subsystems, About box and help window), ending as soon
// as its main window is exposed. Run by bench_startup.
#include "app/application.h"
#include "bench/app/exposeprobe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    natter::bench::markStage("main");
    QApplication app(argc, argv);
    natter::bench::markStage("application");
    natter::bench::ExposeProbe probe;
    app.installEventFilter(&probe);
    natter::NatterApplication natter;
    natter::bench::markStage("windows");
    return natter.run();
}
