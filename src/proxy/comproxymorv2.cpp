#include "proxy/comproxymorv2.h"

#include "core/hexdump.h"
#include "proxy/morv2frame.h"

#include <QSignalBlocker>
#include <QTimer>

#include <chrono>

namespace {

constexpr int kErrorsNamed = 5;   // failed exchanges in a row that are logged
// The most OFD answers kept for the device; beyond it, new ones are turned
// away until the queue has drained. An answer is one TLV frame of at most
// 257 bytes, so the count bounds the bytes as well.
constexpr int kOfdQueueFrames = 256;
// The most frames kept for one line from the other; a frame is at most
// 1024 bytes. A peer answers one frame at a time, so a few are plenty.
constexpr int kLineQueueFrames = 16;

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A tag with an empty value: a request whose repetition changes nothing
// while an identical one still waits (the version request, the keep-alive).
bool isBareRequest(const QByteArray &data)
{
    return data.size() == 2 && data.at(1) == '\0';
}

} // namespace

ComProxyMorv2::ComProxyMorv2(const ComDeviceSettings &entry, QObject *parent)
    : IPortWorker(parent)
    , entry(entry)
    , ofdPrefix(2, '\0')
{
    setObjectName(QStringLiteral("ComProxy2-") + entry.id);
    log = Log(objectName());
}

ComProxyMorv2::~ComProxyMorv2()
{
    // Nothing the ports say while they go reaches this proxy.
    for (QSerialPort *p : {devPort, appPort}) {
        if (p)
            p->disconnect(this);
    }
    delete devPort;
    delete appPort;
}

void ComProxyMorv2::noteOpen(PortOpenTrouble &trouble, const QString &port, bool opened, const QString &error,
                             bool device)
{
    if (trouble.note(log, port, opened, error) && device)
        emit troubleChanged(trouble.statusText(), trouble.attempts(), trouble.since());
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
    connect(appPort, &QSerialPort::readyRead, this, &ComProxyMorv2::readFromApp);

    for (Side side : {Side::Dev, Side::App}) {
        Morv2Link::Config config;
        config.enqWait = 0;   // listen for as long as nothing is to be sent
        config.byteWait = timing.byteWait;
        config.frameWait = timing.frameWait;
        config.nakDelay = timing.nakDelay;
        config.conflictDelay = side == Side::Dev ? timing.devConflictDelay : timing.appConflictDelay;
        Line &l = line(side);
        l.port = port(side);
        l.link = Morv2Link(config);
        l.timer = new QTimer(this);
        l.timer->setSingleShot(true);
        l.timer->setTimerType(Qt::PreciseTimer);
        connect(l.timer, &QTimer::timeout, this, [this, side] { onLineTimeout(side); });
    }
    openTimer = new QTimer(this);
    openTimer->setSingleShot(true);
    connect(openTimer, &QTimer::timeout, this, &ComProxyMorv2::openPorts);
    ofdWaitTimer = new QTimer(this);
    ofdWaitTimer->setSingleShot(true);
    connect(ofdWaitTimer, &QTimer::timeout, this, &ComProxyMorv2::checkOfdWait);

    openPorts();
    // Everything runs in the slots; this only waits for stop().
    workerLoop.run();
    finish();
}

void ComProxyMorv2::finish()
{
    if (ended)
        return;
    ended = true;
    // Whatever exchange was under way is abandoned here.
    openTimer->stop();
    ofdWaitTimer->stop();
    for (Side side : {Side::Dev, Side::App}) {
        Line &l = line(side);
        l.timer->stop();
        l.link.reset();
        const QSignalBlocker blocker(l.port);
        l.port->close();
    }
    emit finished();
}

void ComProxyMorv2::stop()
{
    workerLoop.stop();
}

void ComProxyMorv2::onOfdDataReceived(QByteArray data)
{
    // Answers with a value are never merged: each may carry bytes or a
    // state change the device must see.
    if (isBareRequest(data) && ofdQueue.contains(data))
        return;
    if (ofdQueue.size() >= kOfdQueueFrames) {
        if (ofdDropped == 0) {
            qsizetype queued = 0;
            for (const QByteArray &answer : std::as_const(ofdQueue))
                queued += answer.size();
            log.warn(QStringLiteral("OFD queue full (%1 frames, %2 bytes), new answers dropped until it drains | ")
                        .arg(ofdQueue.size())
                        .arg(queued)
                    + hexDump(data));
        }
        ++ofdDropped;
        ofdDroppedBytes += data.size();
        emit framesDropped(QStringLiteral("overflow"), 1);
        return;
    }
    ofdQueue.append(data);
    ofdQueuedAt.append(monotonicMs());
    if (ofdWaitTimer && !ofdWaitTimer->isActive() && !ofdWaitReported)
        ofdWaitTimer->start(timing.ofdWaitWarn);
    serviceLines();
}

QByteArray ComProxyMorv2::takeOfdAnswer()
{
    const QByteArray data = ofdQueue.takeFirst();
    ofdQueuedAt.removeFirst();
    if (ofdQueue.isEmpty()) {
        if (ofdDropped > 0) {
            log.warn(QStringLiteral("OFD queue drained, %1 answers (%2 bytes) dropped while it was full")
                        .arg(ofdDropped)
                        .arg(ofdDroppedBytes));
            ofdDropped = 0;
            ofdDroppedBytes = 0;
        }
        ofdWaitTimer->stop();
        ofdWaitReported = false;
    }
    return data;
}

// Runs only while answers wait: says once per stretch of waiting that the
// device has not taken them in time.
void ComProxyMorv2::checkOfdWait()
{
    if (ofdQueue.isEmpty() || ofdWaitReported)
        return;
    const qint64 waited = monotonicMs() - ofdQueuedAt.first();
    if (waited < timing.ofdWaitWarn) {
        ofdWaitTimer->start(int(timing.ofdWaitWarn - waited));
        return;
    }
    ofdWaitReported = true;
    log.warn(QStringLiteral("OFD frame waiting for the device for %1 ms (%2 in the queue, dev line %3) | ")
                .arg(waited)
                .arg(ofdQueue.size())
                .arg(QLatin1String(devPort && devPort->isOpen() ? "open" : "closed"))
            + hexDump(ofdQueue.first()));
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
    // long as it stays open; once it is closed, it is reopened.
    if (error != QSerialPort::NoError && !p->isOpen())
        return;
    log.error(QStringLiteral("%1 error %2").arg(QLatin1String(sideName(side))).arg(int(error)));
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
    // Ended outside the port's own signal; reopened from the event loop.
    QMetaObject::invokeMethod(this, [this, side] { abortExchange(side); }, Qt::QueuedConnection);
    if (!openTimer->isActive())
        openTimer->start(0);
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
    log.info(QStringLiteral("Open %1...").arg(settings.port));
    p->setPortName(settings.port);
    p->setBaudRate(side == Side::Dev ? settings.baudrate : kStandardBaudRate);
    PortOpenTrouble &trouble = side == Side::Dev ? devTrouble : appTrouble;
    if (!p->open(QIODevice::ReadWrite)) {
        noteOpen(trouble, settings.port, false, p->errorString(), side == Side::Dev);
        return false;
    }
    // Cleared before "OK" is written: whatever comes after the line is kept.
    p->clear();
    log.info(QStringLiteral("OK"));
    noteOpen(trouble, settings.port, true, QString(), side == Side::Dev);
    return true;
}

// The device's port first; the application's only while the device's is
// open. Until both are, nothing is relayed and the attempt is repeated.
void ComProxyMorv2::openPorts()
{
    if (stopping())
        return;
    if (devReopen || !devPort->isOpen()) {
        closeLine(Side::Dev);
        if (openDevPort())
            emit portConnectionEstablished();
    }
    if (devPort->isOpen()) {
        devReopen = false;
        if (appReopen || !appPort->isOpen()) {
            closeLine(Side::App);
            openAppPort();
        }
    }
    if (!linesUp()) {
        openTimer->start(timing.retryDelay);
        return;
    }
    appReopen = false;
    serviceLines();
}

bool ComProxyMorv2::linesUp() const
{
    return devPort->isOpen() && appPort->isOpen() && !devReopen && !appReopen;
}

// The line's port is gone: its exchange ends and what waited for it goes.
void ComProxyMorv2::closeLine(Side side)
{
    Line &l = line(side);
    l.timer->stop();
    l.link.reset();
    l.sending = false;
    QByteArrayList lost = l.outgoing;
    if (!l.current.isEmpty())
        lost.prepend(l.current);
    for (const QByteArray &frame : std::as_const(lost))
        log.warn(QStringLiteral("%1 port closed, frame dropped | ").arg(QLatin1String(sideName(side))) + hexDump(frame));
    if (!lost.isEmpty())
        emit framesDropped(QStringLiteral("link"), int(lost.size()));
    l.outgoing.clear();
    l.current.clear();
    l.currentIsOfd = false;
}

void ComProxyMorv2::serviceLines()
{
    // An exchange may end at once on bytes already kept, which comes back
    // here: the outer call's loop looks again instead.
    if (inService) {
        serviceAgain = true;
        return;
    }
    inService = true;
    do {
        serviceAgain = false;
        serviceLine(Side::Dev);
        serviceLine(Side::App);
    } while (serviceAgain);
    inService = false;
}

// Free: no exchange, or only listening with nothing begun by the peer.
bool ComProxyMorv2::lineFree(Side side) const
{
    const Morv2Link &link = line(side).link;
    return link.idle() || link.state() == Morv2Link::State::AwaitEnq;
}

void ComProxyMorv2::serviceLine(Side side)
{
    if (stopping() || ended || !linesUp() || !lineFree(side))
        return;
    Line &l = line(side);
    if (l.current.isEmpty()) {
        // Application frames and OFD answers take turns for the device.
        const bool ofdWaiting = side == Side::Dev && !ofdQueue.isEmpty();
        if (ofdWaiting && (l.outgoing.isEmpty() || ofdTurn)) {
            l.current = ofdPrefix + char(kOfdMarker) + takeOfdAnswer();
            l.currentIsOfd = true;
            log.info(QStringLiteral("ofd -> dev | ") + hexDump(l.current));
        } else if (!l.outgoing.isEmpty()) {
            l.current = l.outgoing.takeFirst();
            l.currentIsOfd = false;
            if (l.dropped > 0) {
                log.info(QStringLiteral("%1: line takes frames again, %2 were dropped")
                            .arg(QLatin1String(sideName(side)))
                            .arg(l.dropped));
                l.dropped = 0;
            }
        }
    }
    if (!l.current.isEmpty()) {
        l.sending = true;
        apply(side, l.link.begin(l.current));
    } else if (l.link.idle()) {
        l.sending = false;
        apply(side, l.link.begin(QByteArray()));
    }
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
        QMetaObject::invokeMethod(this, [this, side] { abortExchange(side); }, Qt::QueuedConnection);
        return;
    }
    if (actions.timer == Morv2Link::Timer::Start)
        l.timer->start(actions.timerMs);
    else if (actions.timer == Morv2Link::Timer::Stop)
        l.timer->stop();
    if (actions.conflict)
        log.error(QStringLiteral("Conflict"));
    if (actions.abandoned && l.sending) {
        // The peer most likely has our frame and moved on to its own; ours
        // goes again once the peer's has been passed on.
        log.warn(QStringLiteral("%1 began a frame of its own, frame abandoned | ")
                    .arg(QLatin1String(sideName(side)))
                + hexDump(l.current));
        l.sending = false;
    }
    if (actions.finished)
        exchangeEnded(side, actions);
}

void ComProxyMorv2::exchangeEnded(Side side, const Morv2Link::Actions &actions)
{
    Line &l = line(side);
    if (actions.error == Morv2Link::NoError) {
        l.errorsInRow = 0;
    } else if (++l.errorsInRow <= kErrorsNamed) {
        log.error(QStringLiteral("error in line %1").arg(actions.error));
    } else if (l.errorsInRow == kErrorsNamed + 1) {
        // A line full of noise fails over and over: say so once.
        log.error(QStringLiteral("%1: further errors in line not logged until an exchange succeeds")
                     .arg(QLatin1String(sideName(side))));
    }
    if (l.sending) {
        // Sent, or given up after every try: either way done with.
        if (side == Side::Dev)
            ofdTurn = !l.currentIsOfd;
        l.sending = false;
        l.current.clear();
        l.currentIsOfd = false;
    }
    if (!actions.frame.isEmpty())
        route(side, actions.frame);
    serviceLines();
}

void ComProxyMorv2::abortExchange(Side side)
{
    if (stopping() || ended)
        return;
    Line &l = line(side);
    if (l.port->isOpen()) {
        // A write failed on a port still open: this exchange ends, the
        // frame goes again with the next one.
        l.timer->stop();
        l.link.reset();
        l.sending = false;
        serviceLines();
        return;
    }
    closeLine(side);
}

void ComProxyMorv2::route(Side from, const QByteArray &data)
{
    if (from == Side::App) {
        ofdPrefix = data.left(2);
        log.info(QStringLiteral("app -> dev | ") + hexDump(data));
        enqueue(Side::Dev, data);
    } else if (quint8(data.at(0)) == kOfdMarker) {
        log.info(QStringLiteral("dev -> ofd | ") + hexDump(data));
        emit portDataReceived(data.mid(1));
    } else {
        log.info(QStringLiteral("dev -> app | ") + hexDump(data));
        enqueue(Side::App, data);
    }
}

void ComProxyMorv2::enqueue(Side side, const QByteArray &data)
{
    Line &l = line(side);
    if (l.outgoing.size() >= kLineQueueFrames) {
        if (l.dropped == 0)
            log.warn(QStringLiteral("%1: %2 frames wait for the line, new ones dropped until it takes one | ")
                        .arg(QLatin1String(sideName(side)))
                        .arg(l.outgoing.size())
                    + hexDump(data));
        ++l.dropped;
        emit framesDropped(QStringLiteral("overflow"), 1);
        return;
    }
    l.outgoing.append(data);
}

bool ComProxyMorv2::writeBytes(Side side, const QByteArray &bytes)
{
    QSerialPort *p = port(side);
    if (!p->isOpen())
        return false;
    if (p->write(bytes) != bytes.size()) {
        log.error(QStringLiteral("%1 write failed: %2").arg(QLatin1String(sideName(side)), p->errorString()));
        return false;
    }
    // Written when the line can take it (no flush(): on a full line it
    // fails with a resource error, which reads as a lost port).
    return true;
}
