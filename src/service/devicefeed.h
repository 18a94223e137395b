#pragma once

#include "ofd/sessionrecord.h"

#include <QObject>
#include <QPointer>

class StatusRegistry;

// Carries one device's worker signals into the registry: it lives on the
// main thread, so every signal of the pair arrives queued, and adds the
// device's id the signals do not carry.
class DeviceFeed : public QObject
{
    Q_OBJECT
public:
    DeviceFeed(const QString &id, StatusRegistry *registry, QObject *parent = nullptr);

    // Connects what the workers offer; a worker without one of the
    // signals (a test's) is simply not heard on it.
    void attach(QObject *portWorker, QObject *ofdWorker);

    QString id() const { return m_id; }

public slots:
    void onPortOpened();
    void onPortLost();
    void onPortTrouble(const QString &text, int attempts, qint64 sinceMs);
    void onLink(int state);
    void onChannel(const SessionRecord &record);
    void onSession(const SessionRecord &record);
    void onDropped(const QString &reason, int count);
    void onOfdTrouble(const QString &text, int attempts, qint64 sinceMs);
    void onFrameSeen(qint64 atMs);

private:
    QString m_id;
    QPointer<StatusRegistry> m_registry;
};
