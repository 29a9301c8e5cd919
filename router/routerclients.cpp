#include "router/routerclients.h"

#include <QHostAddress>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>
#define ENABLE_STRNATPMPERR
#include <natpmp.h>

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <optional>

namespace natter {

namespace {

using namespace std::chrono_literals;

constexpr const char *kDescription = "Natter Duo";
// How many other external ports are tried when the one asked for is taken.
constexpr int kPortTries = 8;
// What an Internet gateway answers to, searched for one after the other
// (as the library's own discovery does); each search waits up to
// kDiscoveryMs, and routers on the LAN answer within a few hundred ms.
constexpr const char *kSearchTypes[] = {
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1",
    "urn:schemas-upnp-org:service:WANIPConnection:1",
    "urn:schemas-upnp-org:service:WANPPPConnection:1",
    "upnp:rootdevice",
};
constexpr int kDiscoveryMs = 1000;
constexpr auto kNatPmpAnswer = 4s;
constexpr int kUpnpConflict = 718;

PortMappingOutcome noRouter()
{
    return {PortMappingOutcome::Kind::NoRouter, {}, 0, {}};
}

PortMappingOutcome refused(const QString &reason)
{
    return {PortMappingOutcome::Kind::Refused, {}, 0, reason};
}

// The address the router gives as its own, or an outcome that says why it
// cannot be used.
std::optional<PortMappingOutcome> unusable(const QString &external)
{
    QHostAddress address;
    if (!address.setAddress(external) || address.protocol() != QAbstractSocket::IPv4Protocol ||
        address.toIPv4Address() == 0)
        return refused(QStringLiteral("it reports no external address"));
    if (!isPublicAddress(external))
        return PortMappingOutcome{PortMappingOutcome::Kind::NotPublic, external, 0, {}};
    return std::nullopt;
}

quint16 nextPort(quint16 port)
{
    return port >= 65535 ? 1024 : static_cast<quint16>(port + 1);
}

// ---------------------------------------------------------------------------
// UPnP-IGD, versions 1 and 2 (the library picks the service type).

class UpnpRouter final : public RouterClient {
public:
    // Searches for devices of one type, waiting up to a second for answers.
    static std::unique_ptr<UpnpRouter> discover(const char *type, MappingClock::time_point deadline)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MappingClock::now());
        const int delay = static_cast<int>(std::clamp<long long>(left.count(), 100, kDiscoveryMs));
        const char *const types[] = {type, nullptr};
        int error = 0;
        UPNPDev *devices =
            upnpDiscoverDevices(types, delay, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error, 0);
        if (devices == nullptr)
            return nullptr;
        auto router = std::unique_ptr<UpnpRouter>(new UpnpRouter);
        char lan[64] = {};
        // 2 is "connected? no": routers say so for any reserved external
        // address, which is not for us to judge here.
        const int found = UPNP_GetValidIGD(devices, &router->m_urls, &router->m_data, lan, sizeof lan);
        freeUPNPDevlist(devices);
        router->m_haveUrls = found != 0;
        if (found != 1 && found != 2)
            return nullptr;
        router->m_lanAddress = lan;
        return router;
    }

    ~UpnpRouter() override
    {
        if (m_haveUrls)
            FreeUPNPUrls(&m_urls);
    }

    PortMappingOutcome add(quint16 internalPort, std::chrono::seconds lease) override
    {
        char external[40] = {};
        const int status = UPNP_GetExternalIPAddress(m_urls.controlURL, m_data.first.servicetype, external);
        if (status != UPNPCOMMAND_SUCCESS)
            return failure(status);
        const QString address = QString::fromLatin1(external);
        if (auto reason = unusable(address))
            return *reason;
        quint16 port = m_externalPort != 0 ? m_externalPort : internalPort;
        int result = 0;
        for (int i = 0; i < kPortTries; ++i, port = nextPort(port)) {
            result = addMapping(port, internalPort, lease);
            if (result != kUpnpConflict)
                break;
        }
        if (result != UPNPCOMMAND_SUCCESS)
            return failure(result);
        m_externalPort = port;
        return {PortMappingOutcome::Kind::Open, address, port, {}};
    }

    void remove() override
    {
        if (m_externalPort == 0)
            return;
        const QByteArray port = QByteArray::number(m_externalPort);
        UPNP_DeletePortMapping(m_urls.controlURL, m_data.first.servicetype, port.constData(), "TCP", nullptr);
        m_externalPort = 0;
    }

private:
    UpnpRouter() = default;

    int addMapping(quint16 externalPort, quint16 internalPort, std::chrono::seconds lease)
    {
        const QByteArray ext = QByteArray::number(externalPort);
        const QByteArray in = QByteArray::number(internalPort);
        const QByteArray duration =
            QByteArray::number(static_cast<qlonglong>(std::max<long long>(lease.count(), 1)));
        return UPNP_AddPortMapping(m_urls.controlURL, m_data.first.servicetype, ext.constData(),
                                   in.constData(), m_lanAddress.constData(), kDescription, "TCP", nullptr,
                                   duration.constData());
    }

    // Negative codes are the library's own: the router went silent or sent
    // nonsense. Positive ones are the router's refusal.
    static PortMappingOutcome failure(int code)
    {
        if (code < 0)
            return noRouter();
        const char *text = strupnperror(code);
        return refused(text != nullptr
                           ? QStringLiteral("%1 (UPnP error %2)").arg(QString::fromLatin1(text)).arg(code)
                           : QStringLiteral("UPnP error %1").arg(code));
    }

    UPNPUrls m_urls{};
    IGDdatas m_data{};
    bool m_haveUrls = false;
    QByteArray m_lanAddress;
    quint16 m_externalPort = 0;
};

// ---------------------------------------------------------------------------
// NAT-PMP. The library retries for over a minute; every wait here ends at a
// deadline of our own.

class NatPmpRouter final : public RouterClient {
public:
    // Sends the question for the router's public address; the answer is
    // awaited later, so that it can arrive while UPnP is being tried.
    static std::unique_ptr<NatPmpRouter> ask()
    {
        auto router = std::unique_ptr<NatPmpRouter>(new NatPmpRouter);
        if (initnatpmp(&router->m_natpmp, 0, 0) < 0)
            return nullptr;
        router->m_open = true;
        if (sendpublicaddressrequest(&router->m_natpmp) < 0)
            return nullptr;
        return router;
    }

    enum class Answer { Yes, NotYet, Never };

    // Whether the router has told its public address by the deadline; a
    // deadline already past takes only what has arrived.
    Answer answered(MappingClock::time_point deadline)
    {
        natpmpresp_t answer{};
        const int result = await(answer, deadline);
        if (result == NATPMP_TRYAGAIN)
            return Answer::NotYet;
        if (result != 0 || answer.type != NATPMP_RESPTYPE_PUBLICADDRESS)
            return Answer::Never;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &answer.pnu.publicaddress.addr, text, sizeof text);
        m_publicAddress = QString::fromLatin1(text);
        return Answer::Yes;
    }

    ~NatPmpRouter() override
    {
        if (m_open)
            closenatpmp(&m_natpmp);
    }

    PortMappingOutcome add(quint16 internalPort, std::chrono::seconds lease) override
    {
        if (auto reason = unusable(m_publicAddress))
            return *reason;
        const quint16 wanted = m_externalPort != 0 ? m_externalPort : internalPort;
        const auto seconds = static_cast<uint32_t>(std::max<long long>(lease.count(), 1));
        natpmpresp_t answer{};
        if (sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, internalPort, wanted, seconds) < 0)
            return noRouter();
        const int result = await(answer, MappingClock::now() + kNatPmpAnswer);
        // Codes from -14 to -99 carry the router's own answer; the others
        // mean that it did not answer at all.
        const bool routerSaidNo = result <= NATPMP_ERR_UNSUPPORTEDVERSION && result > NATPMP_TRYAGAIN;
        if (result != 0)
            return routerSaidNo ? refused(reason(result)) : noRouter();
        if (answer.pnu.newportmapping.mappedpublicport == 0 || answer.pnu.newportmapping.lifetime == 0)
            return refused(QStringLiteral("it granted no port"));
        m_internalPort = internalPort;
        m_externalPort = answer.pnu.newportmapping.mappedpublicport;
        return {PortMappingOutcome::Kind::Open, m_publicAddress, m_externalPort, {}};
    }

    void remove() override
    {
        if (m_externalPort == 0)
            return;
        // A lifetime of 0 with public port 0 is NAT-PMP's removal request.
        natpmpresp_t answer{};
        if (sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_TCP, m_internalPort, 0, 0) >= 0)
            await(answer, MappingClock::now() + 2s);
        m_externalPort = 0;
    }

private:
    NatPmpRouter() = default;

    // 0 with the answer, a NAT-PMP error, or NATPMP_TRYAGAIN at the deadline.
    int await(natpmpresp_t &answer, MappingClock::time_point deadline)
    {
        for (int round = 0; round < 64; ++round) {
            timeval retry{};
            getnatpmprequesttimeout(&m_natpmp, &retry);
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MappingClock::now()).count();
            const long long untilRetry = std::max<long long>(0, retry.tv_sec * 1000LL + retry.tv_usec / 1000);
            pollfd fd{m_natpmp.s, POLLIN, 0};
            poll(
                &fd, 1,
                static_cast<int>(std::clamp<long long>(std::min<long long>(left, untilRetry + 1), 0, 60000)));
            const int result = readnatpmpresponseorretry(&m_natpmp, &answer);
            if (result != NATPMP_TRYAGAIN || left <= 0)
                return result;
        }
        return NATPMP_TRYAGAIN;
    }

    static QString reason(int code)
    {
        const char *text = strnatpmperr(code);
        return text != nullptr ? QString::fromLatin1(text) : QStringLiteral("NAT-PMP error %1").arg(code);
    }

    natpmp_t m_natpmp{};
    bool m_open = false;
    QString m_publicAddress;
    quint16 m_internalPort = 0;
    quint16 m_externalPort = 0;
};

} // namespace

std::unique_ptr<RouterClient> findRouter(MappingClock::time_point deadline)
{
    // The NAT-PMP question goes out first; its answer is taken between the
    // UPnP searches, so whichever protocol the router speaks answers soon.
    std::unique_ptr<NatPmpRouter> natpmp = NatPmpRouter::ask();
    using Answer = NatPmpRouter::Answer;
    for (const char *type : kSearchTypes) {
        if (auto upnp = UpnpRouter::discover(type, deadline))
            return upnp;
        const Answer answer = natpmp ? natpmp->answered(MappingClock::now()) : Answer::Never;
        if (answer == Answer::Yes)
            return natpmp;
        if (answer == Answer::Never)
            natpmp.reset();
    }
    if (natpmp && natpmp->answered(deadline) == Answer::Yes)
        return natpmp;
    return nullptr;
}

} // namespace natter
