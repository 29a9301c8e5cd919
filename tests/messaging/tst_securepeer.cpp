// The secure channel against an independent implementation of the protocol
// (tests/peer/peer.js: @noble/curves, @noble/hashes, libsodium-wrappers),
// over loopback, as host and as joiner, honest and misbehaving.
#include "messaging/securechannel.h"
#include "tests/support/nodepeer.h"

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
        if (const QString why = test::NodePeer::missing(); !why.isEmpty())
            QSKIP(qPrintable(why));

        SecureChannel channel(ours, "482917");
        test::NodePeer peer;
        QStringList more;
        if (!misbehave.isEmpty())
            more << u"--misbehave"_s << misbehave;

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
        const QString peerRole = ours == Role::Host ? u"joiner"_s : u"host"_s;
        const QStringList peerLines = {u"bob: hi"_s, u"bob: caf\u00E9"_s};
        if (ours == Role::Host) {
            QVERIFY(server.listen(QHostAddress::LocalHost));
            connect(&server, &QTcpServer::newConnection, this,
                    [&] { watch(server.nextPendingConnection()); });
            peer.start(peerRole, u"482917"_s, peerLines, 2,
                       more << u"--port"_s << QString::number(server.serverPort()));
        } else {
            peer.start(peerRole, u"482917"_s, peerLines, 2, more);
            const quint16 port = peer.listeningPort();
            QVERIFY(port != 0);
            watch(&joinerSocket);
            joinerSocket.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(joinerSocket.waitForConnected(5000));
            joinerSocket.write(secure::offerWire());
        }
        QVERIFY(peer.finished());
        QTRY_VERIFY_WITH_TIMEOUT(closed || got != Failure::None, 5000);

        const QStringList said = peer.said();
        for (const QString &event : peerSays)
            QVERIFY2(said.contains(event), qPrintable(said.join(u'|') + peer.errors()));
        QCOMPARE(got, failure);
        QCOMPARE(opened, lines);
        QCOMPARE(ended, finished);
    }
};

QTEST_GUILESS_MAIN(TestSecurePeer)
#include "tst_securepeer.moc"
