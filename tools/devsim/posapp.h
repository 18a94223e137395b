#pragma once

#include "proxy/morv3decoder.h"

#include <QByteArray>
#include <QObject>

class Morv2Port;
class PtyEnd;
class QTimer;

// The point-of-sale application on the service's application port: sends
// its commands one at a time, in the device's exchange protocol, and checks
// that each answer the service relays back is the device's answer to it.
class PosApp : public QObject
{
    Q_OBJECT
public:
    PosApp(PtyEnd *line, int protocol, QObject *parent = nullptr);

    // Sends `count` commands, each after the previous one was answered (or
    // timed out), `gapMs` apart.
    void run(int count, int gapMs);

    int sent() const { return m_sent; }
    int answeredIntact() const { return m_intact; }
    int unanswered() const { return m_unanswered; }
    bool done() const { return m_done; }

    void setAnswerTimeout(int ms) { m_answerTimeoutMs = ms; }

signals:
    void finished();
    void progress(const QString &line);

private:
    void sendNext();
    void onAnswer(const QByteArray &answer);
    void onBytes(const QByteArray &bytes);
    void onTimeout();

    PtyEnd *m_line;
    int m_protocol;
    Morv2Port *m_link = nullptr;
    Morv3Decoder m_decoder;
    QTimer *m_timer;
    QByteArray m_request;
    quint8 m_frameId = 0;
    int m_count = 0;
    int m_gapMs = 0;
    int m_sent = 0;
    int m_intact = 0;
    int m_unanswered = 0;
    int m_answerTimeoutMs = 10000;
    bool m_waiting = false;
    bool m_done = false;
};
