#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The one line the service manager shows as the service's status, e.g.
// "3 devices: 2 ready, 1 absent (kkt-com3)", stalled workers first
// ("STALLED USB-a4-read; 3 devices: ..."). Whoever knows the devices' states
// feeds it; it only counts and words them.
class StatusSummary
{
public:
    // Ids of devices in states other than these are named.
    static bool isGood(const QString &state);

    void setDevice(const QString &id, const QString &state);
    void removeDevice(const QString &id);
    void clear() { m_states.clear(); }
    void setStalled(const QStringList &workers) { m_stalled = workers; }

    QString text() const;

private:
    QMap<QString, QString> m_states;
    QStringList m_stalled;
};
