#include "proxy/comproxymorv2.h"

#include "core/eventwait.h"
#include "core/hexdump.h"
#include "proxy/morv2frame.h"

#include <QScopeGuard>
#include <QSignalBlocker>
#include <QTimer>

#include <log4cxx/logger.h>

namespace {

constexpr char kOfdMarker = char(0xDA);
constexpr int kAppBaudRate = 115200;
constexpr int kErrorsNamed = 5;   // failed exchanges in a row that are logged
// The most OFD answers kept for the device; beyond it, new ones are turned
// away until the queue has drained. An answer is one TLV frame of at most
// 257 bytes, so the count bounds the bytes as well.
constexpr int kOfdQueueFrames = 256;
// Failed sends to the device in a row after which OFD answers go one a cycle.
constexpr int kDevFailuresHoldOfd = 3;

// A tag with an empty value: a request whose repetition changes nothing
// while an identical one still waits (the version request, the keep-alive).
bool isBareRequest(const QByteArray &data)
{
    return data.size() == 2 && data.at(1) == '\0';
}

} // namespace

ComProxyMorv2::ExchangeException::ExchangeException(int line)
    : m_text("error in line " + std::to_string(line))
{
}

ComProxyMorv2::ComProxyMorv2(const ComDeviceSettings &entry, QObject *parent)
    : IPortWorker(parent)
    , entry(entry)
    , ofdPrefix(2, '\0')
{
    setObjectName(QStringLiteral("ComProxy2-") + entry.id);
}

ComProxyMorv2::~ComProxyMorv2()
{
    stopRequested = true;
    delete devPort;
    delete appPort;
}

void ComProxyMorv2::logInfo(const QString &text)
{
    LOG4CXX_INFO(log4cxx::Logger::getLogger(objectName().toStdString()), text.toStdString());
}

void ComProxyMorv2::logWarn(const QString &text)
{
    LOG4CXX_WARN(log4cxx::Logger::getLogger(objectName().toStdString()), text.toStdString());
}

void ComProxyMorv2::logError(const QString &text)
{
    LOG4CXX_ERROR(log4cxx::Logger::getLogger(objectName().toStdString()), text.toStdString());
}

void ComProxyMorv2::noteOpen(RepeatedFailure &trouble, const QString &port, bool opened, const QString &error,
                             bool device)
{
    // The first failure of a run is an ERROR, then one reminder an hour,
    // and one line when the port opens again.
    if (opened) {
        if (trouble.succeed()) {
            logInfo(trouble.endText(QStringLiteral("Port %1").arg(port), QStringLiteral("opened"), QStringLiteral("failing")));
            if (device)
                emit troubleChanged(QString(), 0, 0);
        }
        return;
    }
    switch (trouble.fail(error)) {
    case RepeatedFailure::Say::First:
        logError(error);
        break;
    case RepeatedFailure::Say::Reminder:
        logError(trouble.reminderText(QStringLiteral("Open %1: %2").arg(port, error)));
        break;
    case RepeatedFailure::Say::Nothing:
        break;
    }
    if (device)
        emit troubleChanged(QStringLiteral("Open %1: %2").arg(port, error), trouble.attempts(), trouble.since());
}

void ComProxyMorv2::start()
{
    if (devPort)
        return;   // started already
    devPort = new QSerialPort;
    appPort = new QSerialPort;
    connect(devPort, &QSerialPort::errorOccurred, this, &ComProxyMorv2::devError);
    connect(appPort, &QSerialPort::errorOccurred, this, &ComProxyMorv2::appError);
    connect(devPort, &QSerialPort::readyRead, this, &ComProxyMorv2::readFromDev);
    connect(appPort, &QSerialPort::readyRead, this, &ComProxyMorv2::readFromSoft);

    for (Side side : {Side::Dev, Side::App}) {
        Morv2Link::Config config;
        config.enqWait = m_timing.enqWait;
        config.byteWait = m_timing.byteWait;
        config.frameWait = m_timing.frameWait;
        config.nakDelay = m_timing.nakDelay;
        config.conflictDelay = side == Side::Dev ? m_timing.devConflictDelay : m_timing.appConflictDelay;
        Line &l = line(side);
        l.port = port(side);
        l.link = Morv2Link(config);
        l.timer = new QTimer(this);
        l.timer->setSingleShot(true);
        l.timer->setTimerType(Qt::PreciseTimer);
        connect(l.timer, &QTimer::timeout, this, [this, side] { onLineTimeout(side); });
    }
    m_cycleTimer = new QTimer(this);
    m_cycleTimer->setSingleShot(true);
    m_cycleTimer->setTimerType(Qt::PreciseTimer);
    connect(m_cycleTimer, &QTimer::timeout, this, &ComProxyMorv2::cycle);

    m_phase = Phase::Pause;
    m_cycleTimer->start(m_timing.cycleDelay);
    // The cycle runs in the slots; this only waits for stop().
    while (!stopping())
        EventWait::until(3600 * 1000, [this] { return stopping(); });
    finish();
}

void ComProxyMorv2::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    // Whatever exchange was under way is abandoned here.
    m_cycleTimer->stop();
    for (Side side : {Side::Dev, Side::App}) {
        Line &l = line(side);
        l.timer->stop();
        l.link.reset();
        l.busy = false;
        const QSignalBlocker blocker(l.port);
        l.port->close();
    }
    emit finished();
}

void ComProxyMorv2::stop()
{
    stopRequested = true;
    // Any event ends the worker's wait, which then sees the flag.
    QMetaObject::invokeMethod(this, [] { EventWait::wake(); }, Qt::QueuedConnection);
}

void ComProxyMorv2::onOfdDataReceived(QByteArray data)
{
    // Answers with a value are never merged: each may carry bytes or a
    // state change the device must see.
    if (isBareRequest(data) && ofdQueue.contains(data))
        return;
    if (ofdQueue.size() >= kOfdQueueFrames) {
        if (m_ofdDropped == 0) {
            qsizetype queued = 0;
            for (const QByteArray &answer : std::as_const(ofdQueue))
                queued += answer.size();
            logWarn(QStringLiteral("OFD queue full (%1 frames, %2 bytes), new answers dropped until it drains | ")
                        .arg(ofdQueue.size())
                        .arg(queued)
                    + hexDump(data));
        }
        ++m_ofdDropped;
        m_ofdDroppedBytes += data.size();
        emit framesDropped(QStringLiteral("overflow"), 1);
        return;
    }
    ofdQueue.append(data);
    startCycleEarly();
}

QByteArray ComProxyMorv2::takeOfdAnswer()
{
    const QByteArray data = ofdQueue.takeFirst();
    if (ofdQueue.isEmpty() && m_ofdDropped > 0) {
        logWarn(QStringLiteral("OFD queue drained, %1 answers (%2 bytes) dropped while it was full")
                    .arg(m_ofdDropped)
                    .arg(m_ofdDroppedBytes));
        m_ofdDropped = 0;
        m_ofdDroppedBytes = 0;
    }
    return data;
}

bool ComProxyMorv2::ofdHeldBack() const
{
    return m_devSendFailures >= kDevFailuresHoldOfd;
}

// Between two cycles with both lines up, there is nothing to wait for once
// a peer has begun or an OFD answer is queued: the cycle starts at once, in
// its usual order.
void ComProxyMorv2::startCycleEarly()
{
    if (stopping() || m_finished || m_phase != Phase::Pause || m_retrying || !m_cycleTimer)
        return;
    if (!m_cycleTimer->isActive())
        return;
    m_cycleTimer->stop();
    cycle();
}

void ComProxyMorv2::devError(QSerialPort::SerialPortError error)
{
    portError(Side::Dev, error);
}

void ComProxyMorv2::appError(QSerialPort::SerialPortError error)
{
    portError(Side::App, error);
}

void ComProxyMorv2::portError(Side side, QSerialPort::SerialPortError error)
{
    QSerialPort *p = port(side);
    // A port whose far end has gone keeps reporting the same error for as
    // long as it stays open; once it is closed, the cycle reopens it.
    if (error != QSerialPort::NoError && !p->isOpen())
        return;
    logError(QStringLiteral("%1 error %2").arg(QLatin1String(sideName(side))).arg(int(error)));
    if (error == QSerialPort::NoError)
        return;
    if (side == Side::Dev) {
        emit portConnectionLost();
        devReopen = true;
    } else {
        appReopen = true;
    }
    {
        const QSignalBlocker blocker(p);
        p->close();
    }
    // The exchange on this line ends now; the cycle goes on without it.
    if (line(side).busy)
        QMetaObject::invokeMethod(this, [this, side] { abortExchange(side); }, Qt::QueuedConnection);
}

bool ComProxyMorv2::openDevPort()
{
    return openPort(Side::Dev);
}

bool ComProxyMorv2::openAppPort()
{
    return openPort(Side::App);
}

bool ComProxyMorv2::openPort(Side side)
{
    QSerialPort *p = port(side);
    const QSignalBlocker blocker(p);
    p->close();
    line(side).link.reset();
    const PortSettings &settings = side == Side::Dev ? entry.dev : entry.app;
    logInfo(QStringLiteral("Open %1...").arg(settings.port));
    p->setPortName(settings.port);
    p->setBaudRate(side == Side::Dev ? settings.baudrate : kAppBaudRate);
    RepeatedFailure &trouble = side == Side::Dev ? devTrouble : appTrouble;
    if (!p->open(QIODevice::ReadWrite)) {
        noteOpen(trouble, settings.port, false, p->errorString(), side == Side::Dev);
        return false;
    }
    // Cleared before "OK" is written: whatever comes after the line is kept.
    p->clear();
    logInfo(QStringLiteral("OK"));
    noteOpen(trouble, settings.port, true, QString(), side == Side::Dev);
    return true;
}

void ComProxyMorv2::cycle()
{
    if (stopping())
        return;
    if (devReopen || !devPort->isOpen()) {
        if (openDevPort())
            emit portConnectionEstablished();
    }
    if (devPort->isOpen()) {
        devReopen = false;
        if (appReopen || !appPort->isOpen())
            openAppPort();
    }
    if (!devPort->isOpen() || !appPort->isOpen()) {
        m_phase = Phase::Pause;
        m_retrying = true;
        m_cycleTimer->start(m_timing.retryDelay);
        return;
    }
    m_retrying = false;
    appReopen = false;
    m_phase = Phase::App;
    beginExchange(Side::App, QByteArray());
}

// Decides what the cycle does once an exchange has ended: frames waiting
// for a line go first (the other line's first, so that a frame given up
// for the peer's goes again right after the peer's has been passed on),
// then the cycle's next step.
void ComProxyMorv2::next()
{
    // An exchange may end at once on bytes already kept, which comes back
    // here: the outer call's loop looks again instead.
    if (m_inNext)
        return;
    m_inNext = true;
    const auto done = qScopeGuard([this] { m_inNext = false; });
    for (;;) {
        if (stopping() || m_dev.busy || m_app.busy)
            return;
        const Side other = m_lastSide == Side::Dev ? Side::App : Side::Dev;
        if (!line(other).outgoing.isEmpty()) {
            beginExchange(other, line(other).outgoing.first());
            continue;
        }
        if (!line(m_lastSide).outgoing.isEmpty()) {
            beginExchange(m_lastSide, line(m_lastSide).outgoing.first());
            continue;
        }
        switch (m_phase) {
        case Phase::Pause:
            return;
        case Phase::App:
            m_phase = Phase::Dev;
            beginExchange(Side::Dev, QByteArray());
            continue;
        case Phase::Dev:
            m_phase = Phase::Ofd;
            m_ofdSentThisCycle = false;
            continue;
        case Phase::Ofd:
            if (!ofdQueue.isEmpty() && !(m_ofdSentThisCycle && ofdHeldBack())) {
                m_ofdSentThisCycle = true;
                const QByteArray built = ofdPrefix + kOfdMarker + takeOfdAnswer();
                logInfo(QStringLiteral("ofd -> dev | ") + hexDump(built));
                m_dev.outgoing.append(built);
                continue;
            }
            m_phase = Phase::Pause;
            m_cycleTimer->start(m_timing.cycleDelay);
            return;
        }
    }
}

void ComProxyMorv2::beginExchange(Side side, const QByteArray &request)
{
    Line &l = line(side);
    m_lastSide = side;
    if (!l.port->isOpen()) {
        // The error slot has said why; only a frame under way is worth a word.
        if (!request.isEmpty()) {
            logWarn(QStringLiteral("%1 port closed, frame dropped | ").arg(QLatin1String(sideName(side)))
                    + hexDump(request));
            l.outgoing.removeFirst();
        }
        return;
    }
    l.busy = true;
    l.sending = !request.isEmpty();
    apply(side, l.link.begin(request));
}

void ComProxyMorv2::onReadable(Side side)
{
    Line &l = line(side);
    if (stopping() || !l.port->isOpen())
        return;
    const QByteArray bytes = l.port->readAll();
    if (bytes.isEmpty())
        return;
    apply(side, l.link.feed(bytes));
    if (!l.busy)
        startCycleEarly();
}

void ComProxyMorv2::onLineTimeout(Side side)
{
    if (stopping())
        return;
    apply(side, line(side).link.timeout());
}

void ComProxyMorv2::apply(Side side, const Morv2Link::Actions &actions)
{
    Line &l = line(side);
    if (!actions.write.isEmpty() && !writeBytes(side, actions.write)) {
        if (l.busy)
            QMetaObject::invokeMethod(this, [this, side] { abortExchange(side); }, Qt::QueuedConnection);
        return;
    }
    if (actions.timer == Morv2Link::Timer::Start)
        l.timer->start(actions.timerMs);
    else if (actions.timer == Morv2Link::Timer::Stop)
        l.timer->stop();
    if (actions.conflict)
        logError(QStringLiteral("Conflict"));
    if (actions.abandoned && l.sending && !l.outgoing.isEmpty()) {
        // The peer most likely has our frame and moved on to its own; ours
        // goes again once the peer's has been passed on.
        logWarn(QStringLiteral("%1 began a frame of its own, frame abandoned | ")
                    .arg(QLatin1String(sideName(side)))
                + hexDump(l.outgoing.first()));
        l.sending = false;
    }
    if (actions.finished && l.busy)
        exchangeEnded(side, actions);
}

void ComProxyMorv2::exchangeEnded(Side side, const Morv2Link::Actions &actions)
{
    Line &l = line(side);
    l.busy = false;
    if (actions.error == Morv2Link::NoError) {
        l.errorsInRow = 0;
    } else if (++l.errorsInRow <= kErrorsNamed) {
        logError(QString::fromStdString(ExchangeException(actions.error).what()));
    } else if (l.errorsInRow == kErrorsNamed + 1) {
        // A line full of noise fails every cycle: say so once.
        logError(QStringLiteral("%1: further errors in line not logged until an exchange succeeds")
                     .arg(QLatin1String(sideName(side))));
    }
    if (side == Side::Dev)
        countDevSend(l.sending, actions);
    if (l.sending) {
        // Sent, or given up after every try: either way done with.
        l.sending = false;
        l.outgoing.removeFirst();
    }
    if (!actions.frame.isEmpty())
        route(side, actions.frame);
    next();
}

// Only sends tell whether the device takes frames: a receive that found
// nothing says nothing either way, a frame received says it is there.
void ComProxyMorv2::countDevSend(bool sending, const Morv2Link::Actions &actions)
{
    const bool heldBack = ofdHeldBack();
    if (!actions.frame.isEmpty() || (sending && actions.error == Morv2Link::NoError))
        m_devSendFailures = 0;
    else if (sending && actions.error != Morv2Link::NoError)
        ++m_devSendFailures;
    else
        return;
    if (!heldBack && ofdHeldBack())
        logWarn(QStringLiteral("dev: %1 frames in a row not taken, OFD frames held back to one a cycle")
                    .arg(m_devSendFailures));
    else if (heldBack && !ofdHeldBack())
        logInfo(QStringLiteral("dev: frame taken, OFD frames sent in full again"));
}

void ComProxyMorv2::abortExchange(Side side)
{
    Line &l = line(side);
    if (!l.busy || stopping())
        return;
    l.timer->stop();
    l.link.reset();
    l.busy = false;
    if (!l.outgoing.isEmpty()) {
        logWarn(QStringLiteral("%1 port closed, frame dropped | ").arg(QLatin1String(sideName(side)))
                + hexDump(l.outgoing.first()));
        l.outgoing.removeFirst();
    }
    l.sending = false;
    next();
}

void ComProxyMorv2::route(Side from, const QByteArray &data)
{
    if (from == Side::App) {
        ofdPrefix = data.left(2);
        logInfo(QStringLiteral("app -> dev | ") + hexDump(data));
        m_dev.outgoing.append(data);
    } else if (data.at(0) == kOfdMarker) {
        logInfo(QStringLiteral("dev -> ofd | ") + hexDump(data));
        emit portDataReceived(data.mid(1));
    } else {
        logInfo(QStringLiteral("dev -> app | ") + hexDump(data));
        m_app.outgoing.append(data);
    }
}

bool ComProxyMorv2::writeBytes(Side side, const QByteArray &bytes)
{
    QSerialPort *p = port(side);
    if (!p->isOpen())
        return false;
    if (p->write(bytes) != bytes.size()) {
        logError(QStringLiteral("%1 write failed: %2").arg(QLatin1String(sideName(side)), p->errorString()));
        return false;
    }
    p->flush();
    return true;
}
