// A plain Qt window that shows text (a menu, a label, an entry box and a
// status line), ending as soon as it is exposed: what any window with text
// pays at start-up for fonts, beside the bare window in bench_startup.
#include "bench/app/exposeprobe.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QStatusBar>
#include <QVBoxLayout>

int main(int argc, char *argv[])
{
    natter::bench::markStage("main");
    QApplication app(argc, argv);
    natter::bench::markStage("application");
    natter::bench::ExposeProbe probe;
    app.installEventFilter(&probe);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Natter Duo"));
    window.menuBar()->addMenu(QStringLiteral("&File"))->addAction(QStringLiteral("E&xit"));
    auto *client = new QWidget(&window);
    auto *layout = new QVBoxLayout(client);
    layout->addWidget(new QLabel(QStringLiteral("Hello"), client), 1);
    layout->addWidget(new QLineEdit(client));
    window.setCentralWidget(client);
    window.statusBar()->showMessage(QStringLiteral("Ready"));
    window.resize(300, 450);
    natter::bench::markStage("windows");
    window.show();
    return QApplication::exec();
}
