#pragma once

#include <QByteArray>
#include <QString>

// The service manager's notification protocol: datagrams of "KEY=VALUE"
// lines to the socket it names in NOTIFY_SOCKET. Without that variable
// (the service started by hand) nothing is sent.
class SystemdNotifier
{
public:
    // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID and removes them
    // from the environment, so that no child process speaks in our name.
    static SystemdNotifier fromEnvironment();

    bool isActive() const { return !m_address.isEmpty(); }
    // The watchdog period the manager asks of this process, 0 for none.
    qint64 watchdogUsec() const { return m_watchdogUsec; }

    // One datagram; never blocks. False with the reason when it did not go.
    bool send(const QByteArray &message, QString *error) const;

    // CLOCK_MONOTONIC in microseconds, as MONOTONIC_USEC= wants it.
    static qint64 monotonicUsec();

private:
    QByteArray m_address; // a path, or "@name" for the abstract namespace
    qint64 m_watchdogUsec = 0;
};
