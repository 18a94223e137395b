#pragma once

#include "proxy/morv2link.h"

#include <QByteArray>
#include <QList>
#include <QObject>

class PtyEnd;
class QTimer;

// One end of a protocol-2 serial line, as a device or an application
// plays it, over the service's own link state machine: it listens for the
// peer's ENQ whenever it has nothing to send and sends its frames one at a
// time. When both ends want to send at once (ENQ answered by ENQ) this end
// gives way: it takes the peer's frame first and tries again afterwards.
class Morv2Port : public QObject
{
    Q_OBJECT
public:
    explicit Morv2Port(PtyEnd *line, QObject *parent = nullptr);

    // Queues one frame's data.
    void send(const QByteArray &data);
    bool idle() const;

    int framesSent() const { return m_framesSent; }
    int framesReceived() const { return m_framesReceived; }
    int badChecks() const { return m_badChecks; }
    int conflicts() const { return m_conflicts; }
    int framesDropped() const { return m_framesDropped; }

signals:
    void frameReceived(const QByteArray &data);
    // A frame given up on after all retries.
    void frameDropped(const QByteArray &data);

private:
    void onBytes(const QByteArray &bytes);
    void apply(const Morv2Link::Actions &actions);
    void next();

    PtyEnd *m_line;
    Morv2Link m_link;
    QTimer *m_timer;
    // After a conflict the peer goes first for a while.
    QTimer *m_yield;
    QList<QByteArray> m_queue;
    bool m_sending = false;
    bool m_inNext = false;
    int m_framesSent = 0;
    int m_framesReceived = 0;
    int m_badChecks = 0;
    int m_conflicts = 0;
    int m_framesDropped = 0;
};
