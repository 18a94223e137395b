#pragma once

#include "devsim/deviceend.h"

class Morv2Port;
class PtyEnd;

// A device speaking exchange protocol 2: frames from the service whose
// third data byte is 0xDA (after the two bytes the application puts in
// front of every command) carry the OFD stream; our OFD frames start with
// 0xDA. Every other frame is an application command and is answered.
class Morv2Device : public DeviceEnd
{
    Q_OBJECT
public:
    explicit Morv2Device(PtyEnd *line, QObject *parent = nullptr);

    void sendOfd(const QByteArray &tlv) override;
    int commandsAnswered() const override { return m_answered; }
    int badFrames() const override;
    int startups() const override { return m_contact ? 1 : 0; }

    Morv2Port *link() const { return m_link; }

private:
    void onFrame(const QByteArray &data);

    Morv2Port *m_link;
    int m_answered = 0;
    int m_malformed = 0;
    bool m_contact = false;
};
