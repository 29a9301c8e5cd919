// test group: system
// A real chat window against the independent peer of tests/peer (its own
// CPace, key schedule and records), as host and as joiner: an honest peer
// converses encrypted both ways and ends with its final record; a
// misbehaving one gets the one grey line that names what went wrong, and a
// host listens on.
#include "tests/support/chatprogram.h"
#include "tests/support/nodepeer.h"
#include "tests/support/rawsocket.h"

#include <QtTest>

using namespace natter;
using namespace Qt::StringLiterals;

class TestIndependentPeer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void conversation_data()
    {
        QTest::addColumn<bool>("hosting");
        QTest::addColumn<QString>("misbehave");
        QTest::addColumn<bool>("secured");
        QTest::addColumn<QString>("greyLine"); // a grey line the window must show
        QTest::addColumn<QString>("peerSays");
        const QString integrity = u"Connection closed: a line failed its integrity check, so someone may be "
                                  u"interfering with the connection."_s;
        const QString malformed = u"Connection closed: the partner sent a malformed handshake."_s;
        const QString attempt = u"Someone at 127.0.0.1 tried a wrong code (1 of 3)"_s;
        QTest::newRow("host") << true << QString() << true << QString() << u"line ann: hello"_s;
        QTest::newRow("joiner") << false << QString() << true << QString() << u"line bob: hello"_s;
        QTest::newRow("host, wrong code") << true << u"wrong-code"_s << false << attempt << u"refused"_s;
        QTest::newRow("host, invalid point")
            << true << u"invalid-point"_s << false << malformed << u"closed"_s;
        QTest::newRow("joiner, flipped tag")
            << false << u"flipped-tag"_s << false
            << u"Refused: the host could not prove that it knows the code, so someone may be interfering "
               u"with the connection. Nothing was sent."_s
            << u"closed"_s;
        QTest::newRow("host, reordered record")
            << true << u"reordered-record"_s << true << integrity << u"established"_s;
        QTest::newRow("joiner, no final record")
            << false << u"no-final"_s << true
            << u"The connection ended without the partner's goodbye: the last lines may be missing."_s
            << u"established"_s;
    }
    void conversation()
    {
        QFETCH(bool, hosting);
        QFETCH(QString, misbehave);
        QFETCH(bool, secured);
        QFETCH(QString, greyLine);
        QFETCH(QString, peerSays);
        if (const QString why = test::NodePeer::missing(); !why.isEmpty())
            QSKIP(qPrintable(why));

        test::ChatProgram program;
        test::NodePeer peer;
        const test::HeldPort port;
        QStringList more;
        if (!misbehave.isEmpty())
            more << u"--misbehave"_s << misbehave;
        const QStringList peerLines = {u"eve: hi"_s, u"eve: caf\u00E9"_s};
        if (hosting) {
            program.listen(port.port);
            QTRY_COMPARE(program.form.status(), u"Listening . . ."_s);
            QCOMPARE(program.code().size(), 6);
            peer.start(u"joiner"_s, program.code(), peerLines, 1, more << u"--port"_s << port.text());
        } else {
            peer.start(u"host"_s, u"482917"_s, peerLines, 1, more);
            const quint16 peerPort = peer.listeningPort();
            QVERIFY(peerPort != 0);
            program.join(u"127.0.0.1"_s, peerPort, u"482 917"_s);
        }
        const TranscriptLine encrypted{u"Encrypted: only your partner can read this conversation."_s,
                                       colours::kSystem};
        if (secured) {
            QTRY_VERIFY_WITH_TIMEOUT(program.lines().contains(encrypted), 10000);
            program.type(u"hello"_s);
            if (greyLine.isEmpty()) {
                QTRY_VERIFY(program.saw(u"eve: caf\u00E9"_s, colours::kPeer));
                QVERIFY(program.saw(u"eve: hi"_s, colours::kPeer));
            }
        }
        QVERIFY(peer.finished());
        const QStringList said = peer.said();
        QVERIFY2(said.contains(peerSays), qPrintable(said.join(u'|') + peer.errors()));
        if (!greyLine.isEmpty())
            QTRY_VERIFY(program.saw(greyLine, colours::kSystem));
        QCOMPARE(program.lines().contains(encrypted), secured);
        QTRY_COMPARE(program.form.status(), hosting ? u"Listening . . ."_s : u"Disconnected"_s);
        if (greyLine.isEmpty()) // an orderly end: no line about a missing goodbye
            QVERIFY(program.lastLine().colour != colours::kSystem);
    }
};

QTEST_MAIN(TestIndependentPeer)
#include "tst_independentpeer.moc"
