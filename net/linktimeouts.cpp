#include "net/linktimeouts.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace natter {

namespace {

LinkTimeouts g_timeouts = kLinkTimeouts;

void setOption(int handle, int level, int name, int value)
{
    ::setsockopt(handle, level, name, &value, sizeof value);
}

} // namespace

LinkTimeouts linkTimeouts()
{
    return g_timeouts;
}

void setLinkTimeouts(const LinkTimeouts &timeouts)
{
    g_timeouts = timeouts;
}

void applyLinkTimeouts(int handle)
{
    const LinkTimeouts t = g_timeouts;
    setOption(handle, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(handle, IPPROTO_TCP, TCP_KEEPIDLE, t.idleSeconds);
    setOption(handle, IPPROTO_TCP, TCP_KEEPINTVL, t.intervalSeconds);
    setOption(handle, IPPROTO_TCP, TCP_KEEPCNT, t.probes);
    setOption(handle, IPPROTO_TCP, TCP_USER_TIMEOUT, t.userTimeoutMs);
}

} // namespace natter
