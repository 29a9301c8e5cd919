// The secure channel against an independent implementation of the protocol
// (tests/peer/peer.js: @noble/curves, @noble/hashes, libsodium-wrappers),
// over loopback, as host and as joiner, honest and misbehaving.
#include "messaging/securechannel.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace natter;
using namespace Qt::StringLiterals;
using secure::Failure;
using secure::Role;
using secure::SecureChannel;

class TestSecurePeer : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void conversation_data()
    {
        QTest::addColumn<Role>("ours");
        QTest::addColumn<QString>("misbehave");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<bool>("finished");
        QTest::addColumn<QStringList>("peerSays");
        const QList<QByteArray> both = {"bob: hi", "bob: caf\xE9"};
        const QStringList heard = {u"established"_s, u"line alice: hi"_s, u"line alice: caf\u00E9"_s,
                                   u"final"_s};
        const auto none = QList<QByteArray>();
        QTest::newRow("host") << Role::Host << u""_s << Failure::None << both << true << heard;
        QTest::newRow("joiner") << Role::Joiner << u""_s << Failure::None << both << true << heard;
        QTest::newRow("host, wrong code") << Role::Host << u"wrong-code"_s << Failure::WrongCode << none
                                          << false << QStringList{u"refused"_s};
        QTest::newRow("joiner, wrong code") << Role::Joiner << u"wrong-code"_s << Failure::WrongCode << none
                                            << false << QStringList{u"refused"_s};
        QTest::newRow("host, invalid point") << Role::Host << u"invalid-point"_s << Failure::BadHandshake
                                             << none << false << QStringList{u"closed"_s};
        QTest::newRow("joiner, invalid point") << Role::Joiner << u"invalid-point"_s << Failure::BadHandshake
                                               << none << false << QStringList{u"closed"_s};
        QTest::newRow("host, flipped tag") << Role::Host << u"flipped-tag"_s << Failure::WrongCode << none
                                           << false << QStringList{u"refused"_s};
        QTest::newRow("joiner, flipped tag") << Role::Joiner << u"flipped-tag"_s << Failure::BadConfirmation
                                             << none << false << QStringList{u"closed"_s};
        QTest::newRow("host, reordered record") << Role::Host << u"reordered-record"_s << Failure::Integrity
                                                << none << false << QStringList{u"established"_s};
        QTest::newRow("joiner, no final record") << Role::Joiner << u"no-final"_s << Failure::None << both
                                                 << false << QStringList{u"established"_s};
    }
    void conversation()
    {
        QFETCH(Role, ours);
        QFETCH(QString, misbehave);
        QFETCH(Failure, failure);
        QFETCH(QList<QByteArray>, lines);
        QFETCH(bool, finished);
        QFETCH(QStringList, peerSays);
        const QString node = QStandardPaths::findExecutable(u"node"_s);
        const QString modules = qEnvironmentVariable("NATTER_PEER_MODULES");
        if (node.isEmpty() || !QDir(modules).exists(u"@noble/curves"_s))
            QSKIP("node or the peer's modules are missing (setup.sh test installs them)");

        SecureChannel channel(ours, "482917");
        QProcess peer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"NODE_PATH"_s, modules);
        peer.setProcessEnvironment(env);
        QStringList arguments = {qEnvironmentVariable("NATTER_PEER_SCRIPT"),
                                 u"--role"_s,
                                 ours == Role::Host ? u"joiner"_s : u"host"_s,
                                 u"--code"_s,
                                 u"482917"_s,
                                 u"--offer"_s,
                                 QString::fromLatin1(secure::offerWire().toHex()),
                                 u"--send"_s,
                                 u"bob: hi|bob: caf\u00E9"_s,
                                 u"--expect"_s,
                                 u"2"_s};
        if (!misbehave.isEmpty())
            arguments << u"--misbehave"_s << misbehave;

        QTcpServer server;
        QTcpSocket joinerSocket;
        QTcpSocket *socket = ours == Role::Joiner ? &joinerSocket : nullptr;
        QByteArray first;
        bool offerRead = ours == Role::Joiner;
        Failure got = Failure::None;
        QList<QByteArray> opened;
        bool ended = false, closed = false;
        const auto onBytes = [&] {
            QByteArray in = socket->readAll();
            if (!offerRead) {
                first += in;
                if (secure::matchOffer(first) != secure::OfferMatch::Offer)
                    return;
                offerRead = true;
                in = first.mid(secure::offerWire().size());
                socket->write(channel.start());
            }
            const auto out = channel.receive(in);
            socket->write(out.send);
            opened += out.lines;
            ended = ended || out.finished;
            if (out.established) {
                socket->write(channel.seal("alice: hi"));
                socket->write(channel.seal("alice: caf\xE9"));
                socket->write(channel.sealFinal());
            }
            if (out.failure != Failure::None && got == Failure::None) {
                got = out.failure;
                socket->disconnectFromHost();
            }
        };
        const auto watch = [&](QTcpSocket *s) {
            socket = s;
            connect(s, &QTcpSocket::readyRead, this, onBytes);
            connect(s, &QTcpSocket::disconnected, this, [&closed] { closed = true; });
        };
        if (ours == Role::Host) {
            QVERIFY(server.listen(QHostAddress::LocalHost));
            connect(&server, &QTcpServer::newConnection, this,
                    [&] { watch(server.nextPendingConnection()); });
            arguments << u"--port"_s << QString::number(server.serverPort());
            peer.start(node, arguments);
        } else {
            peer.start(node, arguments);
            QVERIFY(peer.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(peer.canReadLine(), 10000);
            const QByteArray listening = peer.readLine().trimmed();
            QVERIFY2(listening.startsWith("listening "), listening.constData());
            watch(&joinerSocket);
            joinerSocket.connectToHost(QHostAddress::LocalHost, listening.mid(10).toUShort());
            QVERIFY(joinerSocket.waitForConnected(5000));
            joinerSocket.write(secure::offerWire());
        }
        QTRY_VERIFY_WITH_TIMEOUT(peer.state() == QProcess::NotRunning && (closed || got != Failure::None),
                                 15000);

        const QStringList said =
            QString::fromUtf8(peer.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        for (const QString &event : peerSays)
            QVERIFY2(said.contains(event),
                     qPrintable(said.join(u'|') + QString::fromUtf8(peer.readAllStandardError())));
        QCOMPARE(got, failure);
        QCOMPARE(opened, lines);
        QCOMPARE(ended, finished);
    }
};

QTEST_GUILESS_MAIN(TestSecurePeer)
#include "tst_securepeer.moc"
