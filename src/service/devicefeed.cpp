#include "service/devicefeed.h"

#include "service/statusregistry.h"

namespace {

void connectIfOffered(QObject *sender, const char *signal, QObject *receiver, const char *slot)
{
    if (sender && sender->metaObject()->indexOfSignal(QMetaObject::normalizedSignature(signal + 1)) >= 0)
        QObject::connect(sender, signal, receiver, slot, Qt::QueuedConnection);
}

} // namespace

DeviceFeed::DeviceFeed(const QString &id, StatusRegistry *registry, QObject *parent)
    : QObject(parent), m_id(id), m_registry(registry)
{
}

void DeviceFeed::attach(QObject *portWorker, QObject *ofdWorker)
{
    connectIfOffered(portWorker, SIGNAL(portConnectionEstablished()), this, SLOT(onPortOpened()));
    connectIfOffered(portWorker, SIGNAL(portConnectionLost()), this, SLOT(onPortLost()));
    connectIfOffered(portWorker, SIGNAL(troubleChanged(QString,int,qint64)), this, SLOT(onPortTrouble(QString,int,qint64)));
    connectIfOffered(portWorker, SIGNAL(framesDropped(QString,int)), this, SLOT(onDropped(QString,int)));
    connectIfOffered(ofdWorker, SIGNAL(linkStateChanged(int)), this, SLOT(onLink(int)));
    connectIfOffered(ofdWorker, SIGNAL(channelChanged(SessionRecord)), this, SLOT(onChannel(SessionRecord)));
    connectIfOffered(ofdWorker, SIGNAL(sessionClosed(SessionRecord)), this, SLOT(onSession(SessionRecord)));
    connectIfOffered(ofdWorker, SIGNAL(framesDropped(QString,int)), this, SLOT(onDropped(QString,int)));
    connectIfOffered(ofdWorker, SIGNAL(troubleChanged(QString,int,qint64)), this, SLOT(onOfdTrouble(QString,int,qint64)));
    connectIfOffered(ofdWorker, SIGNAL(frameSeen(qint64)), this, SLOT(onFrameSeen(qint64)));
}

void DeviceFeed::onPortOpened()
{
    if (m_registry)
        m_registry->portOpened(m_id);
}

void DeviceFeed::onPortLost()
{
    if (m_registry)
        m_registry->portLost(m_id);
}

void DeviceFeed::onPortTrouble(const QString &text, int attempts, qint64 sinceMs)
{
    if (m_registry)
        m_registry->portTrouble(m_id, text, attempts, sinceMs);
}

void DeviceFeed::onLink(int state)
{
    if (m_registry)
        m_registry->linkChanged(m_id, state);
}

void DeviceFeed::onChannel(const SessionRecord &record)
{
    if (m_registry)
        m_registry->channelChanged(m_id, record);
}

void DeviceFeed::onSession(const SessionRecord &record)
{
    if (m_registry)
        m_registry->sessionClosed(m_id, record);
}

void DeviceFeed::onDropped(const QString &reason, int count)
{
    if (m_registry)
        m_registry->framesDropped(m_id, reason, count);
}

void DeviceFeed::onOfdTrouble(const QString &text, int attempts, qint64 sinceMs)
{
    if (m_registry)
        m_registry->ofdTrouble(m_id, text, attempts, sinceMs);
}

void DeviceFeed::onFrameSeen(qint64 atMs)
{
    if (m_registry)
        m_registry->frameSeen(m_id, atMs);
}
