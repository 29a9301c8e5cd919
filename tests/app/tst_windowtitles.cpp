// test group: system
// The title of each kind of window the program has, as a real X server
// (Xvfb) keeps it and desktops show it; skipped where Xvfb and xprop are
// missing.
#include "app/application.h"
#include "app/natterform.h"
#include "platform/qtservices.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

using namespace natter;

namespace {

// Run as "--show-windows" on an X server: shows each kind of window the
// program has at once, then prints "<window id> <class>" for each and "ready".
int showEveryWindow()
{
    NatterApplication natter;
    Tnatterform &main = natter.mainWindow();
    main.show();
    QtMessageBox messages;
    const auto print = [] {
        QTextStream out(stdout);
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->isVisible())
                out << w->winId() << ' ' << w->metaObject()->className() << '\n';
        }
        out << "desktop file " << QGuiApplication::desktopFileName() << '\n';
        out << "ready" << Qt::endl;
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
        QProcess program;
        const auto stop = qScopeGuard([&] {
            program.kill();
            program.waitForFinished();
            server.terminate();
            server.waitForFinished();
        });
        // The server picks a free display and says which on its output.
        server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("800x600x24")});
        QByteArray number;
        QTRY_VERIFY_WITH_TIMEOUT((number += server.readAllStandardOutput()).endsWith('\n'), 20000);
        const QString display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--show-windows")});
        QByteArray shown;
        QTRY_VERIFY_WITH_TIMEOUT((shown += program.readAllStandardOutput()).endsWith("ready\n"), 20000);

        // The title the window system keeps (WM_NAME) and the one desktops show.
        const QStringList properties{QStringLiteral("WM_NAME"), QStringLiteral("_NET_WM_NAME")};
        QMap<QString, QString> titles; // "<class> <property>" -> title
        for (const QByteArray &line : shown.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() != 2)
                continue;
            for (const QString &property : properties) {
                QProcess query;
                query.start(xprop, {QStringLiteral("-display"), display, QStringLiteral("-id"),
                                    QString::fromLatin1(fields[0]), property});
                QVERIFY(query.waitForFinished(10000));
                const QString answer = QString::fromUtf8(query.readAllStandardOutput());
                const QRegularExpressionMatch name =
                    QRegularExpression(QStringLiteral("= \"(.*)\"")).match(answer);
                QVERIFY2(name.hasMatch(), qPrintable(answer));
                titles.insert(QString::fromLatin1(fields[1]) + QLatin1Char(' ') + property, name.captured(1));
            }
        }
        const std::pair<const char *, const char *> captions[] = {{"natter::Tnatterform", "Natter Duo"},
                                                                  {"natter::Thelpform", "Natter Duo Help"},
                                                                  {"natter::TAboutBox", "About Natter Duo"},
                                                                  {"QMessageBox", "Natter Duo"},
                                                                  {"QInputDialog", "Natter Settings"}};
        QMap<QString, QString> expected;
        for (const auto &[window, caption] : captions) {
            for (const QString &property : properties)
                expected.insert(QLatin1String(window) + QLatin1Char(' ') + property, QLatin1String(caption));
        }
        QCOMPARE(titles, expected);

        // Taskbars match the window to the shipped desktop entry: by its
        // file name and by the window class.
        QFile entry(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../data/natter-duo.desktop"));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString wmClass = QRegularExpression(QStringLiteral("\nStartupWMClass=(.*)\n"))
                                    .match(QString::fromUtf8(entry.readAll()))
                                    .captured(1);
        QVERIFY(shown.contains("\ndesktop file natter-duo\n"));
        const QByteArray mainId = shown.left(shown.indexOf(" natter::Tnatterform")).split('\n').last();
        QProcess query;
        query.start(xprop, {QStringLiteral("-display"), display, QStringLiteral("-id"),
                            QString::fromLatin1(mainId), QStringLiteral("WM_CLASS")});
        QVERIFY(query.waitForFinished(10000));
        QVERIFY(!wmClass.isEmpty());
        QVERIFY2(query.readAllStandardOutput().trimmed().endsWith(", \"" + wmClass.toUtf8() + '"'),
                 qPrintable(wmClass));
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
