#pragma once

#include "devsim/deviceend.h"
#include "proxy/morv3decoder.h"

class PtyEnd;

// A device speaking exchange protocol 3. It answers every request of the
// service on the request's own identifier, keeps the one listening task
// the service opens, and sends the OFD stream as asynchronous messages
// (identifier 0xF0) through it: one message per opening, since the service
// acknowledges the task and opens the next after each. OFD answers arrive
// as task requests 0xC1 0x00 t 0x00 0x00 0xDA. Frames with identifiers
// below 0xE0 are the application's commands and are answered in kind.
class Morv3Device : public DeviceEnd
{
    Q_OBJECT
public:
    explicit Morv3Device(PtyEnd *line, QObject *parent = nullptr);

    void sendOfd(const QByteArray &tlv) override;
    int commandsAnswered() const override { return m_answered; }
    int badFrames() const override { return m_badFrames; }
    int startups() const override { return m_startups; }
    int asyncMessages() const { return m_asyncMessages; }

    // Requests as they are answered, for tests.
    static constexpr quint8 kNoTask = 0xFF;
    quint8 listeningTask() const { return m_listening; }

private:
    void onBytes(const QByteArray &bytes);
    void onFrame(const Morv3Frame &frame);
    void onRequest(const Morv3Frame &frame);
    void answer(quint8 id, const QByteArray &data);
    void sendAsync();

    PtyEnd *m_line;
    Morv3Decoder m_decoder;
    QByteArray m_outgoing;
    quint8 m_listening = kNoTask;
    quint8 m_lastUsed = kNoTask;
    bool m_contact = false;
    int m_answered = 0;
    int m_badFrames = 0;
    int m_startups = 0;
    int m_asyncMessages = 0;
};
