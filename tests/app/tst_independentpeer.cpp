// test group: system
// A real chat window against the independent peer of tests/peer (its own
// CPace, key schedule and records), as host and as joiner: an honest peer
// converses encrypted both ways and ends with its final record.
//
// node runs the peer with the modules setup.sh installs into <build>/peer
// (NATTER_PEER_SCRIPT and NATTER_PEER_MODULES, set by the tests' CMake); the
// peer prints one event a line ("listening PORT", "established",
// "line TEXT", "final", "closed", "failed WHY").
#include "tests/support/chatprogram.h"
#include "tests/support/rawsocket.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using namespace natter;
using namespace Qt::StringLiterals;

class TestIndependentPeer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(u"node"_s).isEmpty())
            QSKIP("node is not installed");
        if (!QDir(qEnvironmentVariable("NATTER_PEER_MODULES")).exists(u"@noble/curves"_s))
            QSKIP("the peer's node modules are missing (setup.sh test installs them)");
    }

    void conversation_data()
    {
        QTest::addColumn<bool>("hosting");
        QTest::newRow("host") << true;
        QTest::newRow("joiner") << false;
    }
    void conversation()
    {
        QFETCH(bool, hosting);
        test::ChatProgram program;
        const test::HeldPort port;
        QProcess peer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"NODE_PATH"_s, qEnvironmentVariable("NATTER_PEER_MODULES"));
        peer.setProcessEnvironment(env);
        QStringList arguments{qEnvironmentVariable("NATTER_PEER_SCRIPT"), u"--send"_s,
                              u"eve: hi|eve: caf\u00E9"_s};
        if (hosting) {
            program.listen(port.port);
            peer.start(u"node"_s, arguments << u"--role"_s << u"joiner"_s << u"--code"_s << program.code()
                                            << u"--port"_s << port.text());
        } else {
            peer.start(u"node"_s, arguments << u"--role"_s << u"host"_s << u"--code"_s << u"482917"_s);
            QVERIFY(QTest::qWaitFor([&] { return peer.canReadLine(); }, 10000));
            const QByteArray listening = peer.readLine().trimmed(); // "listening PORT"
            program.join(u"127.0.0.1"_s, listening.mid(10).toUShort(), u"482 917"_s);
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            program.saw(u"Encrypted: only your partner can read this conversation."_s, colours::kSystem),
            10000);
        program.type(u"hello"_s);
        QTRY_VERIFY(program.saw(u"eve: caf\u00E9"_s, colours::kPeer));
        QVERIFY(program.saw(u"eve: hi"_s, colours::kPeer));
        QVERIFY(QTest::qWaitFor([&] { return peer.state() == QProcess::NotRunning; }, 15000));
        const QStringList said = QString::fromUtf8(peer.readAll()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(said.contains(hosting ? u"line ann: hello"_s : u"line bob: hello"_s),
                 qPrintable(said.join(u'|') + QString::fromUtf8(peer.readAllStandardError())));
        QTRY_COMPARE(program.form.status(), hosting ? u"Listening . . ."_s : u"Disconnected"_s);
        // An orderly end: no line about a missing goodbye.
        QVERIFY(program.lastLine().colour != colours::kSystem);
    }
};

QTEST_MAIN(TestIndependentPeer)
#include "tst_independentpeer.moc"
