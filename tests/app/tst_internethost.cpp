// test group: system
// A host at home behind a real miniupnpd (tests/router) and a joiner on
// the Internet side: two copies of the program, driven through their real
// handlers, with nothing set up by hand but the My IP address window's
// router option.
#include "router/routerportoption.h"
#include "tests/router/routerrig.h"
#include "tests/support/chatprogram.h"
#include "ui/shellactions.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QtTest>

#include <memory>

using namespace natter;
using namespace natter::testing;

namespace {

using Peer = test::ChatProgram;

const QString kWan = QString::fromLatin1(kRouterWan);

} // namespace

class TestInternetHost : public QObject {
    Q_OBJECT

    RouterRig m_rig;
    QString m_unavailable;

    // Help > My IP address on the host, ticking the router option; the
    // window stays open beside the chat window.
    static QDialog *tickRouterOption(Peer &host)
    {
        host.form.MyIP1Click();
        auto *dialog = host.form.findChild<QDialog *>(QStringLiteral("MyIpDialog"));
        if (dialog == nullptr || !dialog->isVisible() || dialog->isModal())
            return nullptr;
        auto *box = dialog->findChild<QCheckBox *>(QStringLiteral("RouterPort"));
        if (!box->isChecked())
            box->click();
        return dialog;
    }
    static QString routerStatus(QDialog *dialog)
    {
        return dialog->findChild<QLabel *>(QStringLiteral("RouterPortStatus"))->text();
    }

    // The joiner asks for the host at the router's external address. It
    // stays on the Internet side until the attempt has an outcome: the
    // socket that connects is made once the address is resolved.
    bool join(Peer &joiner, const QString &code = QString())
    {
        joiner.answer({QStringLiteral("bob"), QStringLiteral("6767"), kWan, code});
        const QString errorLine = QStringLiteral("Error connecting to:") + kWan;
        const int errorsBefore = joiner.count(errorLine);
        return m_rig.fromInternet([&joiner, &errorLine, errorsBefore] {
            joiner.form.Connect1Click();
            QTRY_VERIFY_WITH_TIMEOUT(joiner.form.status().startsWith(QLatin1String("Connected to:")) ||
                                         joiner.count(errorLine) > errorsBefore,
                                     10000);
        });
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_unavailable = m_rig.up();
        if (m_unavailable.isEmpty() && !m_rig.startRouter({}))
            m_unavailable = QStringLiteral("miniupnpd did not start in the router namespace");
        if (m_unavailable.isEmpty() && !m_rig.enterHome())
            m_unavailable = QStringLiteral("cannot enter the home namespace");
    }

    void joinerFromTheInternetConversesOnlyWhileThePortIsOpen()
    {
        if (!m_unavailable.isEmpty())
            QSKIP(qPrintable(m_unavailable));
        auto host = std::make_unique<Peer>();
        auto joiner = std::make_unique<Peer>();
        const QString errorLine = QStringLiteral("Error connecting to:") + kWan;
        const QString openLine = QStringLiteral("From the Internet: %1 port 6767").arg(kWan);
        host->answer({QStringLiteral("ann"), QStringLiteral("6767")});
        host->form.Listen1Click();
        QCOMPARE(host->form.status(), QStringLiteral("Listening . . ."));

        QVERIFY(join(*joiner));

        QTRY_COMPARE_WITH_TIMEOUT(joiner->count(errorLine), 1, 10000);
        const QByteArray quietRouter = m_rig.routerLog();
        QVERIFY2(!quietRouter.contains("M-SEARCH") && !quietRouter.contains("NAT-PMP request"),
                 quietRouter.constData());

        QDialog *window = tickRouterOption(*host);
        QVERIFY(window);
        QCOMPARE(routerStatus(window), QStringLiteral("Looking for the router . . ."));
        window->close();

        QTRY_VERIFY_WITH_TIMEOUT(host->saw(openLine, colours::kSystem), 15000);
        QCOMPARE(m_rig.mappings(),
                 QStringList{QStringLiteral("6767 -> %1:6767").arg(QLatin1String(kHomeAddress))});
        QVERIFY(join(*joiner, host->code()));
        QTRY_COMPARE_WITH_TIMEOUT(joiner->form.status(), QStringLiteral("Connected to: ") + kWan, 10000);
        QTRY_COMPARE(host->form.status(), QStringLiteral("Connected from: 203.0.113.100"));
        joiner->type(QStringLiteral("hello from afar"));
        QTRY_VERIFY(host->saw(QStringLiteral("bob: hello from afar"), colours::kPeer));
        host->type(QStringLiteral("welcome home"));
        QTRY_VERIFY(joiner->saw(QStringLiteral("ann: welcome home"), colours::kPeer));
        QCOMPARE(host->count(openLine), 1);

        host->form.Disconnect1Click();

        QTRY_COMPARE_WITH_TIMEOUT(m_rig.mappings(), QStringList(), 5000);
        QTRY_COMPARE(joiner->form.status(), QStringLiteral("Disconnected"));
        QVERIFY(join(*joiner));
        QTRY_COMPARE_WITH_TIMEOUT(joiner->count(errorLine), 2, 10000);
        QCOMPARE(host->fakes.report.shown + joiner->fakes.report.shown, QStringList());
    }

    void closingTheProgramRemovesTheMapping()
    {
        if (!m_unavailable.isEmpty())
            QSKIP(qPrintable(m_unavailable));
        auto host = std::make_unique<Peer>();
        // As the README has it: tick the box, then press Listen and watch the
        // window, still open, tell the address for the partner.
        QDialog *window = tickRouterOption(*host);
        QVERIFY(window);
        host->answer({QStringLiteral("ann"), QStringLiteral("6767")});
        host->form.ToolButton4->click();
        const QString outcome = QStringLiteral("From the Internet: %1 port 6767").arg(kWan);
        QTRY_COMPARE_WITH_TIMEOUT(routerStatus(window), outcome, 15000);
        QVERIFY(window->isVisible());
        QVERIFY(host->saw(outcome, colours::kSystem));

        host->form.close();
        host.reset();

        QCOMPARE(m_rig.mappings(), QStringList());
    }
};

QTEST_MAIN(TestInternetHost)
#include "tst_internethost.moc"
