// test group: system
// The title of each kind of window the program has, as a real X server
// (Xvfb) keeps it and desktops show it; skipped where Xvfb and xprop are
// missing.
#include "app/application.h"
#include "app/natterform.h"
#include "platform/qtservices.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

#include <cstdlib>

using namespace natter;

namespace {

// Run as "--show-windows" on an X server: shows each kind of window the
// program has at once, then prints "<class>|<title>|<title>" for each and
// ends.
int showEveryWindow()
{
    NatterApplication natter;
    Tnatterform &main = natter.mainWindow();
    main.show();
    QtMessageBox messages;
    // What the X server keeps of each window: the title the window system
    // uses (WM_NAME) and the one desktops show (_NET_WM_NAME).
    const auto print = [] {
        QTextStream out(stdout);
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (!w->isVisible())
                continue;
            QProcess xprop;
            xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(w->winId()),
                                                  QStringLiteral("WM_NAME"), QStringLiteral("_NET_WM_NAME")});
            static_cast<void>(xprop.waitForFinished(10000));
            out << w->metaObject()->className();
            for (const QRegularExpressionMatch &m :
                 QRegularExpression(QStringLiteral("= \"(.*)\""))
                     .globalMatch(QString::fromUtf8(xprop.readAllStandardOutput())))
                out << '|' << m.captured(1);
            out << '\n';
        }
        out.flush();
        std::exit(0); // the name prompt would come back until a name is given
    };
    // Each modal window runs its own loop; the next step starts inside it.
    QTimer::singleShot(0, &main, [&] {
        main.Natter1->trigger();
        QTimer::singleShot(0, &main, [&] {
            QTimer::singleShot(0, &main, [&] {
                QTimer::singleShot(0, &main, [&] {
                    QTimer::singleShot(0, &main, print);
                    main.Name1->trigger();
                });
                messages.showMessage(QStringLiteral("Please disconnect before changing ports."));
            });
            main.About1->trigger();
        });
    });
    return QApplication::exec();
}

} // namespace

class TestWindowTitles : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyWindowIsTitledWithItsCaptionAlone()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString xprop = QStandardPaths::findExecutable(QStringLiteral("xprop"));
        if (xvfb.isEmpty() || xprop.isEmpty())
            QSKIP("Needs Xvfb and xprop (Debian packages xvfb and x11-utils)");
        QProcess server;
        const auto stop = qScopeGuard([&] {
            server.terminate();
            server.waitForFinished();
        });
        // The server picks a free display and says which on its output.
        server.start(xvfb, QStringLiteral("-displayfd 1 -nolisten tcp -screen 0 800x600x24").split(u' '));
        QByteArray number;
        QTRY_VERIFY_WITH_TIMEOUT((number += server.readAllStandardOutput()).endsWith('\n'), 20000);
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        QProcess program; // ended before the server
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--show-windows")});
        QVERIFY(program.waitForFinished(20000));
        QStringList titles =
            QString::fromUtf8(program.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        titles.sort();
        const QStringList expected{QStringLiteral("QInputDialog|Natter Settings|Natter Settings"),
                                   QStringLiteral("QMessageBox|Natter Duo|Natter Duo"),
                                   QStringLiteral("natter::TAboutBox|About Natter Duo|About Natter Duo"),
                                   QStringLiteral("natter::Thelpform|Natter Duo Help|Natter Duo Help"),
                                   QStringLiteral("natter::Tnatterform|Natter Duo|Natter Duo")};
        QCOMPARE(titles, expected);
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--show-windows") == 0)
        return showEveryWindow();
    TestWindowTitles test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_windowtitles.moc"
