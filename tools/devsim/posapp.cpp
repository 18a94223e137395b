#include "devsim/posapp.h"

#include "devsim/morv2port.h"
#include "devsim/poscommand.h"
#include "devsim/ptyend.h"

#include <QTimer>

namespace {

// What the application puts in front of every protocol-2 command (the
// service copies it in front of the OFD frames it sends the device).
const QByteArray kMorv2Prefix("\x1E\x00", 2);

} // namespace

PosApp::PosApp(PtyEnd *line, int protocol, QObject *parent)
    : QObject(parent)
    , m_line(line)
    , m_protocol(protocol)
    , m_decoder(Morv3Decoder::DeviceSide)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &PosApp::onTimeout);
    if (protocol == 2) {
        m_link = new Morv2Port(line, this);
        connect(m_link, &Morv2Port::frameReceived, this, &PosApp::onAnswer);
    } else {
        connect(line, &PtyEnd::received, this, &PosApp::onBytes);
    }
}

void PosApp::run(int count, int gapMs)
{
    m_count = count;
    m_gapMs = gapMs;
    if (m_count <= 0) {
        m_done = true;
        emit finished();
        return;
    }
    sendNext();
}

void PosApp::sendNext()
{
    if (m_sent >= m_count) {
        m_done = true;
        emit finished();
        return;
    }
    m_request = PosCommand::request(quint8(m_sent + 1));
    ++m_sent;
    m_waiting = true;
    if (m_link) {
        m_link->send(kMorv2Prefix + m_request);
    } else {
        m_frameId = quint8(m_frameId % 0x7F + 1); // 0x01..0x7F: ours, below the service's
        m_line->write(Morv3Frame::encodeFrameWithId(m_frameId, m_request));
    }
    m_timer->start(m_answerTimeoutMs);
}

void PosApp::onBytes(const QByteArray &bytes)
{
    for (char b : bytes) {
        if (!m_decoder.feed(quint8(b)))
            continue;
        const Morv3Frame frame = m_decoder.frame();
        m_decoder.clear();
        const bool crcOk = frame.crc.size() == 1
            && quint8(frame.crc.at(0)) == Morv3Frame::crc8(char(frame.id) + frame.data);
        if (crcOk && frame.id == m_frameId)
            onAnswer(frame.data);
        else
            emit progress(QStringLiteral("application: unexpected frame from the service: %1")
                              .arg(Morv3Frame::describe(frame)));
    }
}

void PosApp::onAnswer(const QByteArray &answer)
{
    if (!m_waiting)
        return;
    const bool intact = PosCommand::isAnswerTo(m_request, answer);
    if (!intact) {
        emit progress(QStringLiteral("application: answer to command %1 is not the device's answer").arg(m_sent));
        return; // keep waiting: the right one may still come
    }
    m_waiting = false;
    m_timer->stop();
    ++m_intact;
    emit progress(QStringLiteral("application: command %1 of %2 answered by the device").arg(m_sent).arg(m_count));
    QTimer::singleShot(m_gapMs, this, &PosApp::sendNext);
}

void PosApp::onTimeout()
{
    if (!m_waiting)
        return;
    m_waiting = false;
    ++m_unanswered;
    emit progress(QStringLiteral("application: no answer to command %1 within %2 ms").arg(m_sent).arg(m_answerTimeoutMs));
    sendNext();
}
