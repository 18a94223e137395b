#pragma once

#include "proxy/morv2frame.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>

class PtyEnd;
class QTimer;

// One end of a protocol-2 serial line, as a device or an application
// plays it: answers the peer's ENQ with ACK, takes its frame, checks it and
// acknowledges it; sends its own frames one at a time with ENQ, frame, EOT.
// When both ends want to send at once (ENQ answered by ENQ) this end gives
// way: it takes the peer's frame first and tries again afterwards.
class Morv2Link : public QObject
{
    Q_OBJECT
public:
    explicit Morv2Link(PtyEnd *line, QObject *parent = nullptr);

    // Queues one frame's data.
    void send(const QByteArray &data);
    bool idle() const { return m_state == State::Idle && m_queue.isEmpty(); }

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
    enum class State {
        Idle,
        AwaitEnqAck,   // our ENQ is out
        AwaitFrameAck, // our frame is out
        AwaitStx,      // we acknowledged the peer's ENQ
        InFrame,
        AwaitCheck,
        AwaitEot,      // we acknowledged the peer's frame
    };

    void onBytes(const QByteArray &bytes);
    void onByte(char b);
    void onTimeout();
    void enter(State state, int timeoutMs);
    void startSending();
    void deliverReceived();

    PtyEnd *m_line;
    QTimer *m_timer;
    State m_state = State::Idle;
    QList<QByteArray> m_queue;
    Morv2Frame m_rx;
    QByteArray m_received;
    bool m_haveReceived = false;
    int m_tries = 0;
    int m_series = 0;
    // After a conflict we let the peer go first for a while.
    QElapsedTimer m_yield;
    int m_framesSent = 0;
    int m_framesReceived = 0;
    int m_badChecks = 0;
    int m_conflicts = 0;
    int m_framesDropped = 0;
};
