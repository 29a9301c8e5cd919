#include "router/routerportoption.h"

#include "router/portmapping.h"

namespace natter {

RouterPortOption::RouterPortOption(std::unique_ptr<PortMapper> mapper, QObject *parent)
    : QObject(parent), m_mapper(std::move(mapper))
{
    connect(m_mapper.get(), &PortMapper::changed, this, &RouterPortOption::mapperChanged);
}

RouterPortOption::~RouterPortOption() = default;

void RouterPortOption::setChecked(bool checked)
{
    m_checked = checked;
    follow();
}

void RouterPortOption::setListeningPort(quint16 port)
{
    m_port = port;
    follow();
}

QString RouterPortOption::status() const
{
    return m_mapper->outcome().text();
}

void RouterPortOption::follow()
{
    const quint16 wanted = m_checked ? m_port : 0;
    if (wanted == m_mappedPort)
        return;
    m_mappedPort = wanted;
    if (wanted != 0)
        m_mapper->open(wanted);
    else
        m_mapper->close();
}

void RouterPortOption::mapperChanged(const PortMappingOutcome &outcome)
{
    Q_EMIT statusChanged(outcome.text());
    if (outcome.kind != PortMappingOutcome::Kind::Looking && outcome.kind != PortMappingOutcome::Kind::Closed)
        Q_EMIT this->outcome(outcome.text());
}

} // namespace natter
