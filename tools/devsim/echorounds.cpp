#include "devsim/echorounds.h"

#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

QByteArray frame(quint8 tag, const QByteArray &value = QByteArray())
{
    return TlvCodec::encode(tag, value);
}

// Nearest-rank percentile of sorted values.
qint64 percentile(const QList<qint64> &sorted, int q)
{
    if (sorted.isEmpty())
        return -1;
    const qsizetype rank = qBound<qsizetype>(0, (sorted.size() * q + 99) / 100 - 1, sorted.size() - 1);
    return sorted.at(rank);
}

QString spread(QList<qint64> values)
{
    std::sort(values.begin(), values.end());
    return QStringLiteral("min %1, p50 %2, p99 %3, max %4 us")
        .arg(percentile(values, 0))
        .arg(percentile(values, 50))
        .arg(percentile(values, 99))
        .arg(values.isEmpty() ? -1 : values.last());
}

} // namespace

EchoRounds::EchoRounds(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_random(options.seed)
    , m_direct(new QTcpSocket(this))
    , m_pause(new QTimer(this))
    , m_deadline(new QTimer(this))
{
    qRegisterMetaType<EchoRounds::Sample>();
    std::uniform_int_distribution<int> byte(0, 255);
    m_payload.resize(qBound(1, m_options.size, TlvCodec::kMaxValue));
    for (char &c : m_payload)
        c = char(byte(m_random));
    m_options.grant = qBound(1, m_options.grant, 255);

    m_pause->setSingleShot(true);
    m_pause->setTimerType(Qt::PreciseTimer);
    connect(m_pause, &QTimer::timeout, this, &EchoRounds::onPauseOver);
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        if (m_state == State::Connecting)
            fail(QStringLiteral("channel 0 or the direct connection was not up within %1 s").arg(m_options.connectTimeoutMs / 1000));
        else
            fail(QStringLiteral("round %1: the echo %2 did not come back within %3 s (%4 of %5 bytes)")
                     .arg(m_current.round)
                     .arg(m_state == State::Direct ? QStringLiteral("over direct TCP") : QStringLiteral("through the service"))
                     .arg(m_options.roundTimeoutMs / 1000)
                     .arg(m_echo.size())
                     .arg(m_payload.size()));
    });
    connect(m_direct, &QTcpSocket::connected, this, &EchoRounds::onDirectConnected);
    connect(m_direct, &QTcpSocket::readyRead, this, &EchoRounds::onDirectBytes);
    connect(m_direct, &QTcpSocket::errorOccurred, this, [this] {
        if (!done())
            fail(QStringLiteral("direct connection to the echo server: %1").arg(m_direct->errorString()));
    });
}

void EchoRounds::receive(const QByteArray &bytes)
{
    m_decoder.feed(bytes);
    for (TlvFrame frame; m_decoder.take(&frame);)
        onFrame(frame.tag, frame.value);
}

void EchoRounds::onFrame(quint8 tag, const QByteArray &value)
{
    switch (tag) {
    case TlvCodec::RxRequestVersion:
        emit send(frame(TlvCodec::TxResponseVersion, QByteArray(1, 0x02)));
        if (m_linkUp)
            return;
        m_linkUp = true;
        emit firstHandshake();
        emit send(frame(TlvCodec::TxPort0, TlvCodec::port(m_options.port))
                  + frame(TlvCodec::TxConnect0, m_options.host + '\0'));
        m_state = State::Connecting;
        m_deadline->start(m_options.connectTimeoutMs);
        m_direct->connectToHost(QString::fromLatin1(m_options.host), m_options.port);
        return;
    case TlvCodec::RxConnectState0: {
        const bool connected = !value.isEmpty() && value.at(0) == 0x01;
        if (done())
            return;
        if (!connected) {
            fail(m_state == State::Connecting ? QStringLiteral("the service could not connect to the echo server")
                                              : QStringLiteral("the service lost the connection to the echo server"));
            return;
        }
        if (m_state == State::Connecting && !m_channelUp) {
            m_channelUp = true;
            m_grantOut = m_options.grant;
            emit send(frame(TlvCodec::TxPacketSize0, QByteArray(1, char(m_grantOut))));
            maybeStart();
        }
        return;
    }
    case TlvCodec::RxData0: {
        if (m_grantOut == 0 || value.size() > m_grantOut)
            ++m_grantViolations;
        // The grant stands: renewed after every chunk.
        m_grantOut = m_options.grant;
        emit send(frame(TlvCodec::TxPacketSize0, QByteArray(1, char(m_grantOut))));
        if (m_state != State::ViaService) {
            fail(QStringLiteral("%1 bytes came through the service when none were due").arg(value.size()));
            return;
        }
        m_echo += value;
        if (m_echo.size() < m_payload.size())
            return;
        m_current.serviceUs = m_clock.nsecsElapsed() / 1000;
        m_deadline->stop();
        if (m_echo != m_payload) {
            fail(QStringLiteral("round %1: the echo through the service came back altered").arg(m_current.round));
            return;
        }
        m_nextLeg = State::Direct;
        pause();
        return;
    }
    default:
        return; // nothing else is for this device to act on
    }
}

void EchoRounds::onDirectConnected()
{
    m_direct->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_directUp = true;
    maybeStart();
}

void EchoRounds::maybeStart()
{
    if (m_state != State::Connecting || !m_channelUp || !m_directUp)
        return;
    m_deadline->stop();
    m_nextLeg = State::ViaService;
    pause();
}

void EchoRounds::pause()
{
    if (m_nextLeg == State::ViaService && m_samples.size() >= m_options.rounds) {
        m_state = State::Done;
        emit send(frame(TlvCodec::TxConnect0Close));
        m_direct->disconnectFromHost();
        emit finished();
        return;
    }
    m_state = State::Pausing;
    std::uniform_int_distribution<int> ms(m_options.minPauseMs, qMax(m_options.minPauseMs, m_options.maxPauseMs));
    m_pause->start(ms(m_random));
}

void EchoRounds::onPauseOver()
{
    if (m_state != State::Pausing)
        return;
    m_echo.clear();
    m_deadline->start(m_options.roundTimeoutMs);
    if (m_nextLeg == State::ViaService) {
        m_current = Sample();
        m_current.round = int(m_samples.size()) + 1;
        m_state = State::ViaService;
        m_clock.start();
        emit send(frame(TlvCodec::TxData0, m_payload));
    } else {
        m_state = State::Direct;
        m_clock.start();
        if (m_direct->write(m_payload) != m_payload.size())
            fail(QStringLiteral("direct connection: cannot write: %1").arg(m_direct->errorString()));
    }
}

void EchoRounds::onDirectBytes()
{
    const QByteArray got = m_direct->readAll();
    if (m_state != State::Direct) {
        if (!done())
            fail(QStringLiteral("%1 bytes came over direct TCP when none were due").arg(got.size()));
        return;
    }
    m_echo += got;
    if (m_echo.size() < m_payload.size())
        return;
    m_current.directUs = m_clock.nsecsElapsed() / 1000;
    m_deadline->stop();
    if (m_echo != m_payload) {
        fail(QStringLiteral("round %1: the echo over direct TCP came back altered").arg(m_current.round));
        return;
    }
    m_samples.append(m_current);
    emit sampleTaken(m_current);
    m_nextLeg = State::ViaService;
    pause();
}

void EchoRounds::fail(const QString &why)
{
    if (done())
        return;
    m_state = State::Failed;
    m_failure = why;
    m_pause->stop();
    m_deadline->stop();
    m_direct->abort();
    emit finished();
}

QString EchoRounds::summaryText() const
{
    QList<qint64> service, direct;
    for (const Sample &s : m_samples) {
        service.append(s.serviceUs);
        direct.append(s.directUs);
    }
    QStringList lines;
    lines << QStringLiteral("Summary (echo rounds of %1 bytes, grant %2)").arg(m_payload.size()).arg(m_options.grant);
    lines << QStringLiteral("  rounds:                 %1 of %2").arg(m_samples.size()).arg(m_options.rounds);
    if (!m_samples.isEmpty()) {
        lines << QStringLiteral("  through the service:    %1").arg(spread(service));
        lines << QStringLiteral("  direct TCP:             %1").arg(spread(direct));
    }
    if (m_grantViolations)
        lines << QStringLiteral("  chunks beyond a grant:  %1").arg(m_grantViolations);
    if (!m_failure.isEmpty())
        lines << QStringLiteral("  stopped: %1").arg(m_failure);
    lines << (ok() && m_grantViolations == 0 ? QStringLiteral("Result: OK, every echo came back intact")
                                             : QStringLiteral("Result: FAILED"));
    return lines.join(QLatin1Char('\n'));
}
