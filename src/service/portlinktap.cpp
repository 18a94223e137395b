#include "service/portlinktap.h"

PortLinkTap::PortLinkTap(QObject *portWorker, std::function<void(bool up)> changed)
    : m_changed(std::move(changed))
{
    // By name: the port workers declare them as signals of their own.
    connect(portWorker, SIGNAL(portConnectionEstablished()), this, SLOT(up()));
    connect(portWorker, SIGNAL(portConnectionLost()), this, SLOT(down()));
}

void PortLinkTap::up()
{
    m_changed(true);
}

void PortLinkTap::down()
{
    m_changed(false);
}
