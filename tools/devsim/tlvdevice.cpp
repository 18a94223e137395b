#include "devsim/tlvdevice.h"

#include "devsim/demodocument.h"

#include <QTimer>

namespace {

constexpr int kMaxValue = TlvCodec::kMaxValue;

QByteArray frame(quint8 tag, const QByteArray &value = QByteArray())
{
    return TlvCodec::encode(tag, value);
}

} // namespace

TlvDevice::TlvDevice(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_timer(new QTimer(this))
{
    qRegisterMetaType<TlvDevice::DocumentResult>();
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &TlvDevice::onTimeout);
}

void TlvDevice::receive(const QByteArray &bytes)
{
    m_decoder.feed(bytes);
    for (TlvFrame frame; m_decoder.take(&frame);)
        onFrame(frame.tag, frame.value);
}

void TlvDevice::onFrame(quint8 tag, const QByteArray &value)
{
    switch (tag) {
    case TlvCodec::RxRequestVersion:
        ++m_versionRequests;
        emit send(frame(TlvCodec::TxResponseVersion, QByteArray(1, 0x02)));
        if (!m_linkUp) {
            m_linkUp = true;
            emit firstHandshake();
            // Ask the service's version once; its answer is only noted.
            emit send(frame(TlvCodec::TxRequestVersion));
            m_state = State::Between;
            QTimer::singleShot(m_options.gapMs, this, &TlvDevice::next);
        }
        return;
    case TlvCodec::RxResponseVersion:
        if (!value.isEmpty())
            m_hostVersion = quint8(value.at(0));
        return;
    case TlvCodec::RxConnectState0: {
        const bool connected = !value.isEmpty() && value.at(0) == 0x01;
        if (m_state == State::Connecting) {
            if (!connected) {
                finishDocument(false, QStringLiteral("the service could not connect to the OFD server"));
                return;
            }
            m_current.sent = true;
            m_roundTrip.start();
            QByteArray out;
            out += frame(TlvCodec::TxLog, QByteArray("\x02", 1) + m_document.mid(16, 16));
            for (qsizetype at = 0; at < m_document.size(); at += kMaxValue)
                out += frame(TlvCodec::TxData0, m_document.mid(at, kMaxValue));
            emit send(out);
            m_state = State::Receiving;
            grant();
        } else if (m_state == State::Receiving && !connected) {
            finishDocument(false, QStringLiteral("the connection to the OFD server was lost before the whole reply arrived"));
        } else if (m_state == State::Closing && !connected) {
            m_timer->stop();
            m_state = State::Between;
            QTimer::singleShot(m_options.gapMs, this, &TlvDevice::next);
        }
        return;
    }
    case TlvCodec::RxData0: {
        ++m_chunks;
        if (m_state != State::Receiving)
            return; // late bytes of a closed exchange
        if (m_grant == 0 || value.size() > m_grant)
            ++m_grantViolations;
        m_grant = 0;
        m_reply += value;
        const qint64 expected = DemoDocument::replySize(m_reply);
        if (expected < 0) {
            finishDocument(false, QStringLiteral("the reply is not the stand-in server's reply"));
        } else if (expected > 0 && m_reply.size() >= expected) {
            const bool intact = m_reply == DemoDocument::replyFor(m_document);
            finishDocument(intact, intact ? QString() : QStringLiteral("the reply arrived damaged"));
        } else {
            grant();
        }
        return;
    }
    default:
        return; // channel 1 is not used; anything else is not for a device to act on
    }
}

void TlvDevice::grant()
{
    const int span = m_options.largestGrant - m_options.smallestGrant + 1;
    m_grant = m_options.smallestGrant + (m_grantStep++ * 37) % qMax(1, span);
    emit send(frame(TlvCodec::TxPacketSize0, QByteArray(1, char(m_grant))));
}

void TlvDevice::next()
{
    if (m_state != State::Between)
        return;
    if (m_results.size() >= m_options.documents) {
        m_state = State::Done;
        emit finished();
        return;
    }
    startDocument();
}

void TlvDevice::startDocument()
{
    const quint32 sequence = quint32(m_results.size() + 1);
    m_document = DemoDocument::make(sequence, DemoDocument::payloadSizeFor(sequence));
    m_reply.clear();
    m_grant = 0;
    m_current = DocumentResult();
    m_current.sequence = sequence;
    m_current.bytesSent = int(m_document.size());

    QByteArray out;
    out += frame(TlvCodec::TxLog, QByteArray("\x01", 1) + m_document.left(16));
    out += frame(TlvCodec::TxPort0, TlvCodec::port(m_options.port));
    out += frame(TlvCodec::TxConnect0, m_options.host + '\0');
    m_state = State::Connecting;
    m_timer->start(m_options.documentTimeoutMs);
    emit send(out);
}

void TlvDevice::finishDocument(bool intact, const QString &failure)
{
    const bool wasConnected = m_state == State::Receiving;
    m_current.intact = intact;
    m_current.failure = failure;
    m_current.replyBytes = int(m_reply.size());
    if (intact)
        m_current.roundTripMs = m_roundTrip.elapsed();
    m_results.append(m_current);
    m_grant = 0;
    emit documentFinished(m_current);

    if (wasConnected || m_state == State::Connecting) {
        QByteArray out;
        if (intact)
            out += frame(TlvCodec::TxLog, QByteArray("\x03", 1) + m_reply.left(16));
        if (wasConnected || !failure.isEmpty())
            out += frame(TlvCodec::TxConnect0Close);
        emit send(out);
    }
    // Wait for the service to report the channel closed before the next
    // connect, so a late report cannot be taken for the next connection's.
    m_state = State::Closing;
    m_timer->start(m_options.closeWaitMs);
}

void TlvDevice::onTimeout()
{
    switch (m_state) {
    case State::Connecting:
        finishDocument(false, QStringLiteral("no connection to the OFD server within %1 s").arg(m_options.documentTimeoutMs / 1000));
        return;
    case State::Receiving:
        finishDocument(false, QStringLiteral("the reply did not arrive within %1 s (%2 bytes came)")
                                  .arg(m_options.documentTimeoutMs / 1000)
                                  .arg(m_reply.size()));
        return;
    case State::Closing:
        m_state = State::Between;
        next();
        return;
    default:
        return;
    }
}
