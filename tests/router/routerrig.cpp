// test group: system
#include "tests/router/routerrig.h"
#include "tests/support/netns.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace natter::testing {

namespace {

constexpr quint16 kStunPort = 3478;

// A STUN binding response: the request's cookie and transaction, then the
// address as MAPPED-ADDRESS and XOR-MAPPED-ADDRESS.
QByteArray stunAnswer(const QByteArray &request, quint32 address, quint16 port)
{
    QByteArray body;
    const auto put16 = [&body](quint16 v) { body.append(char(v >> 8)).append(char(v & 0xFF)); };
    const auto put32 = [&](quint32 v) { put16(quint16(v >> 16)), put16(quint16(v & 0xFFFF)); };
    put16(0x0001), put16(8), put16(0x0001), put16(port), put32(address);
    put16(0x0020), put16(8), put16(0x0001), put16(port ^ 0x2112), put32(address ^ 0x2112A442);
    QByteArray answer;
    answer.append(char(0x01)).append(char(0x01));
    answer.append(char(body.size() >> 8)).append(char(body.size() & 0xFF));
    return answer + request.mid(4, 16) + body;
}

} // namespace

RouterRig::RouterRig()
    : m_tag(QStringLiteral("nd%1").arg(QCoreApplication::applicationPid() % 100000)),
      m_rigScript(QStringLiteral(NATTER_ROUTER_RIG_DIR "/rig.sh"))
{
    m_router.setProcessChannelMode(QProcess::MergedChannels);
}

RouterRig::~RouterRig()
{
    stopRouter();
    m_stunStop = true;
    if (m_stun.joinable())
        m_stun.join();
    leaveHome();
    if (m_up)
        test::runCommand({m_rigScript, QStringLiteral("down"), m_tag});
}

QString RouterRig::ns(const char *role) const
{
    return m_tag + QLatin1Char('-') + QLatin1String(role);
}

QString RouterRig::up()
{
    const QString unavailable =
        test::NamespaceRig::unavailable({QStringLiteral("nft"), QStringLiteral("miniupnpd"),
                                         QStringLiteral("upnpc"), QStringLiteral("natpmpc")});
    if (!unavailable.isEmpty())
        return unavailable;
    QByteArray output;
    m_up = true;
    if (test::runCommand({m_rigScript, QStringLiteral("up"), m_tag}, &output) != 0)
        return QStringLiteral("the namespaces cannot be made here: ") +
               QString::fromLocal8Bit(output).trimmed();
    int fd = -1;
    test::onThreadInNamespace(ns("net"), [&fd](bool entered) {
        if (entered)
            fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    });
    const sockaddr_in any{AF_INET, htons(kStunPort), {htonl(INADDR_ANY)}, {}};
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        if (fd >= 0)
            ::close(fd);
        return QStringLiteral("no STUN socket in the Internet namespace");
    }
    m_stun = std::thread([this, fd] { stunLoop(fd); });
    return {};
}

void RouterRig::stunLoop(int fd)
{
    while (!m_stunStop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buffer[1500];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 20)
            continue;
        const quint32 told = m_stunAnswer;
        const QByteArray answer = stunAnswer(
            QByteArray(buffer, int(n)), told != 0 ? told : ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
        ::sendto(fd, answer.constData(), size_t(answer.size()), 0, reinterpret_cast<const sockaddr *>(&from),
                 length);
    }
    ::close(fd);
}

bool RouterRig::enterHome()
{
    if (m_originalNs < 0)
        m_originalNs = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    return test::enterNamespace(ns("home"));
}

void RouterRig::leaveHome()
{
    if (m_originalNs < 0)
        return;
    ::setns(m_originalNs, CLONE_NEWNET);
    ::close(m_originalNs);
    m_originalNs = -1;
}

bool RouterRig::startRouter(const RouterOptions &options)
{
    stopRouter();
    QFile in(QStringLiteral(NATTER_ROUTER_RIG_DIR "/miniupnpd.conf.in"));
    QFile out(m_dir.filePath(QStringLiteral("miniupnpd.conf")));
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    QByteArray conf = in.readAll();
    conf.replace("@UPNP@", options.upnp ? "yes" : "no").replace("@NATPMP@", options.natpmp ? "yes" : "no");
    conf.replace("@IGDV1@", options.igdV1 ? "yes" : "no");
    out.write(conf);
    out.close();
    m_stunAnswer = options.publicAddress.isEmpty() ? 0 : QHostAddress(options.publicAddress).toIPv4Address();
    m_router.start(QStringLiteral("ip"),
                   {QStringLiteral("netns"), QStringLiteral("exec"), ns("rt"), QStringLiteral("miniupnpd"),
                    QStringLiteral("-d"), QStringLiteral("-f"), out.fileName(), QStringLiteral("-P"),
                    m_dir.filePath(QStringLiteral("pid"))});
    // Serving once the last of its services says it listens.
    const QByteArray ready = options.natpmp ? "Listening for NAT-PMP" : "HTTP listening on port";
    QByteArray log;
    QDeadlineTimer deadline(20000);
    while (!log.contains(ready) && m_router.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        m_router.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        log += m_router.readAll();
    }
    return log.contains(ready);
}

void RouterRig::stopRouter()
{
    if (m_router.state() == QProcess::NotRunning)
        return;
    m_router.terminate();
    if (!m_router.waitForFinished(5000)) {
        m_router.kill();
        m_router.waitForFinished(2000);
    }
    // miniupnpd leaves its rules behind on exit: start the next one clean.
    test::runCommand(
        {QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), ns("rt"),
         QStringLiteral("nft"),
         QStringLiteral(
             "flush chain inet nat prerouting_miniupnpd; flush chain inet nat postrouting_miniupnpd; "
             "flush chain inet filter miniupnpd")});
}

QByteArray RouterRig::routerLog()
{
    m_router.waitForReadyRead(100);
    return m_router.readAll();
}

QStringList RouterRig::mappings() const
{
    QByteArray listing;
    test::runCommand({QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), ns("rt"),
                      QStringLiteral("nft"), QStringLiteral("list chain inet nat prerouting_miniupnpd")},
                     &listing);
    QStringList found;
    static const QRegularExpression rule(QStringLiteral(R"(dport (\d+) dnat ip to ([\d.]+:\d+))"));
    auto it = rule.globalMatch(QString::fromLatin1(listing));
    while (it.hasNext()) {
        const auto m = it.next();
        found << m.captured(1) + QStringLiteral(" -> ") + m.captured(2);
    }
    return found;
}

int RouterRig::runAtHome(const QStringList &command) const
{
    return test::runCommand(
        QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"), ns("home")} +
        command);
}

int RouterRig::connectFromInternet(quint16 port) const
{
    int fd = -1;
    test::onThreadInNamespace(ns("net"), [&fd, port](bool entered) {
        if (!entered)
            return;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval limit{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in to{AF_INET, htons(port), {}, {}};
        ::inet_pton(AF_INET, kRouterWan, &to.sin_addr);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    return fd;
}

} // namespace natter::testing
