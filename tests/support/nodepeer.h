// test group: system
#pragma once

// The independent peer of tests/peer/peer.js, run by node with the modules
// setup.sh installs into <build>/peer (NATTER_PEER_SCRIPT and
// NATTER_PEER_MODULES, set by the tests' CMake). It prints one event a line:
// "listening PORT", "established", "line TEXT", "final", "refused",
// "closed", "failed WHY".

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QtTest>

namespace natter::test {

struct NodePeer {
    QProcess process;

    // Empty when node and the modules are there; else why the test skips.
    static QString missing()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty())
            return QStringLiteral("node is not installed");
        if (!QDir(qEnvironmentVariable("NATTER_PEER_MODULES")).exists(QStringLiteral("@noble/curves")))
            return QStringLiteral("the peer's node modules are missing (setup.sh test installs them)");
        return QString();
    }

    // Starts the peer as `role` ("host" or "joiner") with the code, sending
    // `lines` once secured and ending after `expect` lines; `more` are
    // further options (--port, --misbehave).
    void start(const QString &role, const QString &code, const QStringList &lines, int expect,
               const QStringList &more)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NODE_PATH"), qEnvironmentVariable("NATTER_PEER_MODULES"));
        process.setProcessEnvironment(env);
        process.start(QStandardPaths::findExecutable(QStringLiteral("node")),
                      QStringList{qEnvironmentVariable("NATTER_PEER_SCRIPT"), QStringLiteral("--role"), role,
                                  QStringLiteral("--code"), code, QStringLiteral("--send"), lines.join(u'|'),
                                  QStringLiteral("--expect"), QString::number(expect)} +
                          more);
    }

    // A host peer's port, once it listens (0 when it does not within 10 s).
    quint16 listeningPort()
    {
        if (!QTest::qWaitFor([this] { return process.canReadLine(); }, 10000))
            return 0;
        const QByteArray line = process.readLine().trimmed();
        return line.startsWith("listening ") ? line.mid(10).toUShort() : 0;
    }

    bool finished(int ms = 15000)
    {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, ms);
    }

    // Every event the peer printed (after the port), and what it wrote to stderr.
    QStringList said()
    {
        return QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    }
    QString errors() { return QString::fromUtf8(process.readAllStandardError()); }

    ~NodePeer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace natter::test
