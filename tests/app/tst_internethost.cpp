// test group: system
// A host at home behind a real miniupnpd (tests/router/routerrig.h) and a
// joiner on the Internet side: two copies of the program, driven through
// their real handlers, with nothing set up by hand but the My IP address
// window's router option.
#include "tests/router/routerrig.h"
#include "tests/support/chatprogram.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QtTest>

using namespace natter;
using namespace natter::test;

class TestInternetHost : public QObject {
    Q_OBJECT

    RouterRig m_rig;
    QString m_unavailable;
    const QString m_wan = QString::fromLatin1(kRouterWan);

    // The joiner asks for the host at the router's external address. It
    // stays on the Internet side until the attempt has an outcome: the
    // socket that connects is made once the address is resolved.
    bool join(ChatProgram &joiner, const QString &code = {})
    {
        const QString errorLine = u"Error connecting to:"_s + m_wan;
        const int errorsBefore = joiner.count(errorLine);
        const bool ran = m_rig.inside(u"net"_s, [&] {
            joiner.join(m_wan, 6767, code);
            QTRY_VERIFY_WITH_TIMEOUT(joiner.form.status().startsWith(u"Connected to:"_s) ||
                                         joiner.count(errorLine) > errorsBefore,
                                     10000);
        });
        return ran && !QTest::currentTestFailed();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_unavailable = m_rig.up();
        if (m_unavailable.isEmpty() && !m_rig.startRouter())
            m_unavailable = u"miniupnpd did not start in the router namespace"_s;
    }

    void aJoinerFromTheInternetConversesOnlyWhileThePortIsOpen()
    {
        if (!m_unavailable.isEmpty())
            QSKIP(qPrintable(m_unavailable));
        ChatProgram host;
        ChatProgram joiner;
        const QString openLine = u"From the Internet: %1 port 6767"_s.arg(m_wan);
        // As the README has it: Help > My IP address, tick the box, then
        // Listen, and the window, still open, tells the address for the
        // partner.
        host.form.MyIP1Click();
        auto *window = host.form.findChild<QDialog *>(u"MyIpDialog"_s);
        QVERIFY(window != nullptr && window->isVisible() && !window->isModal());
        window->findChild<QCheckBox *>(u"RouterPort"_s)->click();
        host.listen(6767);

        QTRY_COMPARE_WITH_TIMEOUT(window->findChild<QLabel *>(u"RouterPortStatus"_s)->text(), openLine,
                                  15000);
        QVERIFY(host.saw(openLine, colours::kSystem));
        QCOMPARE(m_rig.mappings(), QStringList{u"6767 -> 192.168.77.2:6767"_s});
        QVERIFY(join(joiner, host.code()));
        QCOMPARE(joiner.form.status(), u"Connected to: "_s + m_wan);
        QTRY_COMPARE(host.form.status(), u"Connected from: 203.0.113.100"_s);
        joiner.type(u"hello from afar"_s);
        QTRY_VERIFY(host.saw(u"bob: hello from afar"_s, colours::kPeer));
        host.type(u"welcome home"_s);
        QTRY_VERIFY(joiner.saw(u"ann: welcome home"_s, colours::kPeer));
        QCOMPARE(host.count(openLine), 1);

        host.form.Disconnect1Click();

        QTRY_COMPARE_WITH_TIMEOUT(m_rig.mappings(), QStringList(), 5000);
        QTRY_COMPARE(joiner.form.status(), u"Disconnected"_s);
        QVERIFY(join(joiner));
        QCOMPARE(joiner.count(u"Error connecting to:"_s + m_wan), 1);
        QCOMPARE(host.fakes.report.shown + joiner.fakes.report.shown, QStringList());
    }
};

QTEST_MAIN(TestInternetHost)
#include "tst_internethost.moc"
