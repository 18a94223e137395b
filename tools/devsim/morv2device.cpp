#include "devsim/morv2device.h"

#include "devsim/morv2port.h"
#include "devsim/poscommand.h"

namespace {

constexpr char kOfdMarker = char(0xDA);
// Our frames stay well inside the 1024 data bytes the service accepts.
constexpr int kMaxOfdChunk = 1000;

} // namespace

Morv2Device::Morv2Device(PtyEnd *line, QObject *parent)
    : DeviceEnd(parent)
    , m_link(new Morv2Port(line, this))
{
    connect(m_link, &Morv2Port::frameReceived, this, &Morv2Device::onFrame);
}

int Morv2Device::badFrames() const
{
    return m_link->badChecks() + m_malformed;
}

void Morv2Device::sendOfd(const QByteArray &tlv)
{
    for (qsizetype at = 0; at < tlv.size(); at += kMaxOfdChunk)
        m_link->send(kOfdMarker + tlv.mid(at, kMaxOfdChunk));
}

void Morv2Device::onFrame(const QByteArray &data)
{
    if (!m_contact) {
        m_contact = true;
        emit contact();
    }
    if (data.size() >= 3 && data.at(2) == kOfdMarker) {
        emit ofdReceived(data.mid(3));
        return;
    }
    const QByteArray answer = PosCommand::answer(data.mid(2));
    if (answer.isEmpty()) {
        ++m_malformed;
        return;
    }
    ++m_answered;
    m_link->send(answer);
}
