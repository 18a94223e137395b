#include "devsim/morv3device.h"

#include "devsim/poscommand.h"
#include "devsim/ptyend.h"

namespace {

constexpr quint8 kAsyncId = 0xF0;
constexpr char kOfdMarker = char(0xDA);
constexpr int kMaxAsyncChunk = 600;

} // namespace

Morv3Device::Morv3Device(PtyEnd *line, QObject *parent)
    : DeviceEnd(parent)
    , m_line(line)
    , m_decoder(Morv3Decoder::DeviceSide)
{
    connect(line, &PtyEnd::received, this, &Morv3Device::onBytes);
}

void Morv3Device::sendOfd(const QByteArray &tlv)
{
    m_outgoing += tlv;
    sendAsync();
}

void Morv3Device::onBytes(const QByteArray &bytes)
{
    for (char b : bytes) {
        if (m_decoder.feed(quint8(b))) {
            const Morv3Frame frame = m_decoder.frame();
            m_decoder.clear();
            onFrame(frame);
        }
    }
}

void Morv3Device::onFrame(const Morv3Frame &frame)
{
    const QByteArray covered = char(frame.id) + frame.data;
    if (frame.crc.size() != 1 || quint8(frame.crc.at(0)) != Morv3Frame::crc8(covered)) {
        ++m_badFrames; // a device drops what it cannot trust
        return;
    }
    if (!m_contact) {
        m_contact = true;
        emit contact();
    }
    if (frame.id >= 0xE0) {
        onRequest(frame);
        return;
    }
    const QByteArray reply = PosCommand::answer(frame.data);
    if (reply.isEmpty()) {
        ++m_badFrames;
        return;
    }
    ++m_answered;
    answer(frame.id, reply);
}

void Morv3Device::onRequest(const Morv3Frame &frame)
{
    const QByteArray &d = frame.data;
    const quint8 command = d.isEmpty() ? 0 : quint8(d.at(0));
    const quint8 task = d.size() >= 2 ? quint8(d.at(1)) : kNoTask;
    switch (command) {
    case 0xC2: // acknowledge task: it is done with
        if (task == m_listening)
            m_listening = kNoTask;
        answer(frame.id, QByteArray("\xA2", 1) + char(task));
        return;
    case 0xC3: { // poll task: 0xB3 would tell the service the task is gone
        const bool known = task == m_listening || task == m_lastUsed;
        answer(frame.id, QByteArray(1, char(known ? 0xB1 : 0xB3)) + char(task));
        return;
    }
    case 0xC4: // abort everything: 0xA3 when a listening task was dropped
        ++m_startups;
        answer(frame.id, QByteArray(1, char(m_listening != kNoTask ? 0xA3 : 0xA4)));
        m_listening = kNoTask;
        return;
    case 0xC1:
        if (d.size() >= 3 && d.at(1) == 0x05) { // open listening task
            m_listening = quint8(d.at(2));
            answer(frame.id, QByteArray("\xA1", 1) + d.at(2));
            sendAsync();
            return;
        }
        if (d.size() >= 6 && d.at(1) == 0x00 && d.at(5) == kOfdMarker) { // OFD answer
            answer(frame.id, QByteArray("\xA1", 1) + d.at(2));
            emit ofdReceived(d.mid(6));
            return;
        }
        break;
    default:
        break;
    }
    ++m_badFrames;
    answer(frame.id, QByteArray(1, char(0xAF)));
}

void Morv3Device::answer(quint8 id, const QByteArray &data)
{
    m_line->write(Morv3Frame::encodeFrameWithId(id, data));
}

void Morv3Device::sendAsync()
{
    if (m_listening == kNoTask || m_outgoing.isEmpty())
        return;
    // Both forms the service knows, in turn: A6 task DA, and A3 DA.
    QByteArray data;
    if (m_asyncMessages % 2 == 0)
        data = QByteArray("\xA6", 1) + char(m_listening) + kOfdMarker;
    else
        data = QByteArray("\xA3", 1) + kOfdMarker;
    data += m_outgoing.left(kMaxAsyncChunk);
    m_outgoing.remove(0, qMin<qsizetype>(kMaxAsyncChunk, m_outgoing.size()));
    ++m_asyncMessages;
    m_lastUsed = m_listening;
    m_listening = kNoTask;
    m_line->write(Morv3Frame::encodeFrameWithId(kAsyncId, data));
}
