#include "net/hostlookup.h"

#include "platform/exceptions.h"

#include <QHostAddress>
#include <QHostInfo>

#include <netdb.h>
#include <netinet/in.h>

namespace natter {

namespace {

// Names under the reserved "invalid" domain never resolve; they are answered
// at once without asking any resolver.
bool reservedInvalidName(const QString &host)
{
    QString h = host.trimmed();
    if (h.endsWith(QLatin1Char('.')))
        h.chop(1);
    return h.compare(QLatin1String("invalid"), Qt::CaseInsensitive) == 0 ||
           h.endsWith(QLatin1String(".invalid"), Qt::CaseInsensitive);
}

// Identifiers of lookups answered without a resolver: negative, so they
// never meet the resolver's own.
int g_localLookupId = 0;

QList<SocketAddress> addressesOf(const QHostInfo &info)
{
    QList<SocketAddress> found;
    const QList<QHostAddress> list = info.addresses();
    for (const QHostAddress &a : list) {
        bool ipv4 = false; // also an IPv4-mapped IPv6 address
        const quint32 v4 = a.toIPv4Address(&ipv4);
        if (ipv4)
            found.append(SocketAddress::ipv4(v4));
        else if (const std::optional<SocketAddress> address = SocketAddress::fromText(a.toString()))
            found.append(*address);
    }
    return connectingOrder(found);
}

} // namespace

QList<SocketAddress> connectingOrder(const QList<SocketAddress> &addresses)
{
    QList<SocketAddress> v6;
    QList<SocketAddress> v4;
    for (const SocketAddress &a : addresses) {
        QList<SocketAddress> &family = a.family() == AF_INET6 ? v6 : v4;
        if (!family.contains(a))
            family.append(a);
    }
    QList<SocketAddress> order;
    for (qsizetype i = 0; i < std::max(v6.size(), v4.size()) && order.size() < HostLookup::kMaxAddresses;
         ++i) {
        if (i < v6.size())
            order.append(v6.at(i));
        if (i < v4.size() && order.size() < HostLookup::kMaxAddresses)
            order.append(v4.at(i));
    }
    return order;
}

void HostLookup::start(const QString &host, Done done)
{
    cancel();
    m_done = std::move(done);
    m_pending = true;
    const std::optional<SocketAddress> numeric = SocketAddress::fromText(host);
    if (numeric || reservedInvalidName(host)) {
        const int id = --g_localLookupId;
        const int code = numeric ? 0 : EAI_NONAME;
        const QList<SocketAddress> found = numeric ? QList<SocketAddress>{*numeric} : QList<SocketAddress>{};
        m_id = id;
        QMetaObject::invokeMethod(
            m_context, [this, id, code, found] { finish(id, code, found); }, Qt::QueuedConnection);
        return;
    }
    m_id = QHostInfo::lookupHost(host, m_context, [this](const QHostInfo &info) {
        int code = 0;
        QList<SocketAddress> found;
        if (info.error() != QHostInfo::NoError) {
            code = info.error() == QHostInfo::HostNotFound ? EAI_NONAME : EAI_FAIL;
        } else {
            found = addressesOf(info);
            if (found.isEmpty())
                code = EAI_NONAME;
        }
        finish(info.lookupId(), code, found);
    });
}

void HostLookup::cancel()
{
    if (m_pending && m_id > 0)
        QHostInfo::abortHostLookup(m_id);
    m_pending = false;
    m_id = 0;
    m_done = nullptr;
}

void HostLookup::finish(int id, int errorCode, const QList<SocketAddress> &addresses)
{
    if (!m_pending || id != m_id)
        return;
    m_pending = false;
    m_id = 0;
    const Done done = std::move(m_done);
    m_done = nullptr;
    guarded([&] { done(errorCode, addresses); });
}

} // namespace natter
