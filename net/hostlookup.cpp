#include "net/hostlookup.h"

#include "platform/exceptions.h"

#include <QHostAddress>
#include <QHostInfo>

#include <algorithm>

#include <arpa/inet.h>
#include <netdb.h>

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

} // namespace

void HostLookup::start(const QString &host, Done done)
{
    cancel();
    m_done = std::move(done);
    m_pending = true;
    in_addr literal{};
    const bool dotted = ::inet_pton(AF_INET, host.trimmed().toLatin1().constData(), &literal) == 1;
    if (dotted || reservedInvalidName(host)) {
        const int id = --g_localLookupId;
        const int code = dotted ? 0 : EAI_NONAME;
        const quint32 found = dotted ? ntohl(literal.s_addr) : 0;
        m_id = id;
        QMetaObject::invokeMethod(
            m_context, [this, id, code, found] { finish(id, code, found); }, Qt::QueuedConnection);
        return;
    }
    m_id = QHostInfo::lookupHost(host, m_context, [this](const QHostInfo &info) {
        int code = 0;
        quint32 found = 0;
        if (info.error() != QHostInfo::NoError) {
            code = info.error() == QHostInfo::HostNotFound ? EAI_NONAME : EAI_FAIL;
        } else {
            const QList<QHostAddress> list = info.addresses();
            const auto it = std::find_if(list.cbegin(), list.cend(), [](const QHostAddress &a) {
                return a.protocol() == QAbstractSocket::IPv4Protocol;
            });
            if (it == list.cend())
                code = EAI_NONAME;
            else
                found = it->toIPv4Address();
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

void HostLookup::finish(int id, int errorCode, quint32 address)
{
    if (!m_pending || id != m_id)
        return;
    m_pending = false;
    m_id = 0;
    const Done done = std::move(m_done);
    m_done = nullptr;
    guarded([&] { done(errorCode, address); });
}

} // namespace natter
