#include "proxy/comproxymorv3.h"

#include "core/hexdump.h"

#include <QSignalBlocker>
#include <QTimer>

namespace {

constexpr quint8 kNone = 0xFF;
constexpr quint8 kAsyncId = 0xF0;
constexpr quint8 kFirstOwnId = 0xE0;
constexpr quint8 kListenTaskA = 0xE5;
constexpr quint8 kListenTaskB = 0xE6;

bool startsWith(const QByteArray &data, quint8 b)
{
    return !data.isEmpty() && quint8(data.at(0)) == b;
}

} // namespace

ComProxyMorv3::ComProxyMorv3(const ComDeviceSettings &entry, QObject *parent)
    : IPortWorker(parent), entry(entry)
{
    setObjectName(QStringLiteral("ComProxy3-") + entry.id);
    log = Log(objectName());
}

ComProxyMorv3::~ComProxyMorv3()
{
    // Normally start() closed them already, in this same thread.
    closePort(appPort);
    closePort(devPort);
}

void ComProxyMorv3::noteOpen(PortOpenTrouble &trouble, const QString &port, bool opened, const QString &error,
                             bool device)
{
    if (trouble.note(log, port, opened, error) && device)
        emit troubleChanged(trouble.statusText(), trouble.attempts(), trouble.since());
}

void ComProxyMorv3::start()
{
    listenTaskId = kNone;
    pendingPollId = kNone;
    pendingAbortId = kNone;

    // Created here so that they belong to the worker's thread; their
    // signals are connected once for the proxy's whole life.
    devPort = new QSerialPort(this);
    appPort = new QSerialPort(this);
    connect(devPort, &QSerialPort::readyRead, this, &ComProxyMorv3::readFromDev);
    connect(devPort, &QSerialPort::errorOccurred, this, &ComProxyMorv3::devError);
    connect(appPort, &QSerialPort::readyRead, this, &ComProxyMorv3::readFromApp);
    connect(appPort, &QSerialPort::errorOccurred, this, &ComProxyMorv3::appError);
    devStageTimer = new QTimer(this);
    devStageTimer->setSingleShot(true);
    connect(devStageTimer, &QTimer::timeout, this, &ComProxyMorv3::onDevStageTimer);
    appRetryTimer = new QTimer(this);
    appRetryTimer->setSingleShot(true);
    connect(appRetryTimer, &QTimer::timeout, this, &ComProxyMorv3::ensureAppPort);

    scheduleDevOpen();
    // Everything else happens in the slots; this only waits for stop().
    workerLoop.run();

    // stop() may come from any thread; the ports are closed here, in ours.
    devStageTimer->stop();
    appRetryTimer->stop();
    if (pollTimer)
        pollTimer->stop();
    if (watchdogTimer)
        watchdogTimer->stop();
    closePort(appPort);
    devStage = DevStage::Closed;
    closePort(devPort);
    log.info(QStringLiteral("stopped"));
    emit finished();
}

void ComProxyMorv3::stop()
{
    workerLoop.stop();
}

void ComProxyMorv3::closePort(QSerialPort *port)
{
    if (!port)
        return;
    // Closing a port whose line is gone reports errors of its own; they
    // must not start another reopen.
    const bool blocked = port->blockSignals(true);
    if (port->isOpen())
        port->close();
    port->blockSignals(blocked);
}

void ComProxyMorv3::scheduleDevOpen()
{
    // No polls or reconnects while the port is being (re)opened;
    // deviceStartup() restarts both timers.
    if (pollTimer)
        pollTimer->stop();
    if (watchdogTimer)
        watchdogTimer->stop();
    // Closed at the next turn: this may run inside the port's own signal.
    devStage = DevStage::Closing;
    devStageTimer->start(0);
}

void ComProxyMorv3::onDevStageTimer()
{
    if (stopping())
        return;
    switch (devStage) {
    case DevStage::Closed:
    case DevStage::Ready:
        return;
    case DevStage::Closing:
        closePort(devPort);
        devStage = DevStage::Waiting;
        devStageTimer->start(timings.openWaitMs);
        return;
    case DevStage::Waiting:
        if (openDevPort()) {
            devStage = DevStage::Settling;
            devStageTimer->start(timings.openWaitMs);
        } else {
            // As before: a second's pause, then the wait before opening.
            devStageTimer->start(timings.retryMs + timings.openWaitMs);
        }
        return;
    case DevStage::Settling:
        devPort->clear(QSerialPort::AllDirections);
        devFrame.clear();
        devBroken = 0;
        devStage = DevStage::Ready;
        devReopen = false;
        deviceStartup();
        ensureAppPort();
        return;
    }
}

bool ComProxyMorv3::openDevPort()
{
    const QSignalBlocker blocker(devPort);
    log.info(QStringLiteral("Open %1...").arg(entry.dev.port));
    devPort->setPortName(entry.dev.port);
    devPort->setBaudRate(entry.dev.baudrate, QSerialPort::AllDirections);
    if (!devPort->open(QIODevice::ReadWrite)) {
        noteOpen(devTrouble, entry.dev.port, false, devPort->errorString(), true);
        return false;
    }
    log.info(QStringLiteral("OK"));
    noteOpen(devTrouble, entry.dev.port, true, QString(), true);
    return true;
}

void ComProxyMorv3::ensureAppPort()
{
    if (stopping() || devStage != DevStage::Ready)
        return;   // the device port's start-up calls again
    if (appPort->isOpen() && !appReopen)
        return;
    openAppPort();
    if (appPort->isOpen())
        appReopen = false;
    else
        appRetryTimer->start(timings.retryMs);
}

void ComProxyMorv3::openAppPort()
{
    appPort->blockSignals(true);
    if (appPort->isOpen())
        appPort->close();
    log.info(QStringLiteral("Open %1...").arg(entry.app.port));
    appPort->setPortName(entry.app.port);
    // The application side always runs at 115200, whatever the entry says.
    appPort->setBaudRate(kStandardBaudRate, QSerialPort::AllDirections);
    if (appPort->open(QIODevice::ReadWrite)) {
        log.info(QStringLiteral("OK"));
        appPort->clear(QSerialPort::AllDirections);
        noteOpen(appTrouble, entry.app.port, true, QString(), false);
    } else {
        noteOpen(appTrouble, entry.app.port, false, appPort->errorString(), false);
    }
    appPort->blockSignals(false);
    appFrame.clear();
    appBroken = 0;
}

void ComProxyMorv3::deviceStartup()
{
    acknowledgeAll();
    pendingAbortId = sendRequest(QByteArray(1, char(0xC4)));
    restartListening();

    if (!pollTimer) {
        pollTimer = new QTimer(this);
        connect(pollTimer, &QTimer::timeout, this, &ComProxyMorv3::updateAsyncRequest);
        watchdogTimer = new QTimer(this);
        connect(watchdogTimer, &QTimer::timeout, this, &ComProxyMorv3::doReconnect);
    }
    pollTimer->start(timings.pollMs);
    watchdogTimer->start(timings.watchdogMs);
}

void ComProxyMorv3::restartListening()
{
    if (listenTaskId == kNone) {
        listenTaskId = kListenTaskA;
    } else {
        acknowledge(listenTaskId);
        listenTaskId = listenTaskId == kListenTaskA ? kListenTaskB : kListenTaskA;
    }
    QByteArray open;
    open.append(char(0xC1));
    open.append(char(0x05));
    open.append(char(listenTaskId));
    sendRequest(open);
}

void ComProxyMorv3::acknowledge(quint8 task)
{
    QByteArray ack;
    ack.append(char(0xC2));
    ack.append(char(task));
    sendRequest(ack);
}

void ComProxyMorv3::acknowledgeAll()
{
    for (int task = 0xE0; task <= 0xE6; ++task)
        acknowledge(quint8(task));
}

ComProxyMorv3::Write ComProxyMorv3::writeFrame(QSerialPort *port, const QByteArray &bytes)
{
    if (!port || !port->isOpen())
        return Write::NotOpen;
    const bool toDevice = port == devPort;
    Overflow &overflow = toDevice ? devOverflow : appOverflow;
    const QString side = toDevice ? QStringLiteral("device") : QStringLiteral("application");
    // A line that stops draining must not grow our memory: frames beyond
    // the bound are dropped, and said so once until it drains.
    const qint64 waiting = port->bytesToWrite();
    if (waiting + bytes.size() > timings.maxPendingBytes) {
        if (overflow.frames == 0)
            log.warn(QStringLiteral("%1 port not draining (%2 bytes waiting), frames dropped until it does")
                        .arg(side)
                        .arg(waiting));
        ++overflow.frames;
        overflow.bytes += bytes.size();
        emit framesDropped(QStringLiteral("overflow"), 1);
        return Write::Full;
    }
    if (overflow.frames > 0) {
        log.info(QStringLiteral("%1 port draining again, %2 frames (%3 bytes) were dropped")
                    .arg(side)
                    .arg(overflow.frames)
                    .arg(overflow.bytes));
        overflow = Overflow();
    }
    // Whole frames go into the port's buffer at once, so the two
    // directions never mix inside a frame. The port writes them when the
    // line takes bytes; no flush(): on a full line it fails with a
    // resource error, which reads as a lost port.
    if (port->write(bytes) != bytes.size())
        return Write::Failed;
    return Write::Done;
}

quint8 ComProxyMorv3::sendRequest(const QByteArray &payload)
{
    if (!devReady())
        return kNone;
    Morv3Frame record;
    const QByteArray wire = Morv3Frame::encodeFrame(payload, &record);
    // The identifier now names this frame: an answer carrying it belongs to
    // this one, not to an older request that took it before.
    if (pendingAbortId == record.id)
        pendingAbortId = kNone;
    if (pendingPollId == record.id)
        pendingPollId = kNone;
    switch (writeFrame(devPort, wire)) {
    case Write::Done:
        if (log.isDebugEnabled())
            log.debug(QStringLiteral("-o> ") + Morv3Frame::describe(record));
        return record.id;
    case Write::NotOpen:
        log.warn(QStringLiteral("device port not open, dropped -o> ") + Morv3Frame::describe(record));
        break;
    case Write::Full:
        break;
    case Write::Failed:
        log.warn(QStringLiteral("device port write failed (%1), dropped -o> ").arg(devPort->errorString())
                + Morv3Frame::describe(record));
        break;
    }
    return kNone;
}

void ComProxyMorv3::onOfdDataReceived(QByteArray data)
{
    if (!devReady()) {
        log.warn(QStringLiteral("device port not open, OFD answer dropped: ") + hexDump(data));
        return;
    }
    QByteArray payload;
    payload.reserve(data.size() + 6);
    payload.append(char(0xC1));
    payload.append(char(0x00));
    payload.append(char(Morv3Frame::nextTaskId()));
    payload.append(char(0x00));
    payload.append(char(0x00));
    payload.append(char(kOfdMarker));
    payload.append(data);
    sendRequest(payload);
}

void ComProxyMorv3::updateAsyncRequest()
{
    if (listenTaskId != kNone) {
        log.info(QStringLiteral("reinit async on timer"));
        QByteArray poll;
        poll.append(char(0xC3));
        poll.append(char(listenTaskId));
        const quint8 id = sendRequest(poll);
        if (id != kNone)
            pendingPollId = id;
    }
    if (pollTimer)
        pollTimer->start(timings.pollMs);
}

void ComProxyMorv3::deviceLost()
{
    // The next data from the device resumes the OfdWorker again.
    firstRead = true;
    devReopen = true;
    scheduleDevOpen();
    emit portConnectionLost();
}

void ComProxyMorv3::doReconnect()
{
    if (devReopen)
        return;
    log.warn(QStringLiteral("no data from the device for %1 ms, reopening").arg(timings.watchdogMs));
    deviceLost();
}

void ComProxyMorv3::devError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError)
        return;
    // A dead line repeats its error on every poll of the port until the
    // port is closed: report it once, the loop reopens the port.
    if (devReopen)
        return;
    log.error(QStringLiteral("dev error %1").arg(int(error)));
    if (error == QSerialPort::UnsupportedOperationError)
        return;
    deviceLost();
}

void ComProxyMorv3::appError(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || appReopen)
        return;
    log.error(QStringLiteral("app error %1").arg(int(error)));
    appReopen = true;
    // Reopened from the event loop, not inside the port's own signal.
    appRetryTimer->start(0);
}

void ComProxyMorv3::readFromDev()
{
    if (!devReady())
        return;
    const QByteArray bytes = devPort->readAll();
    if (bytes.isEmpty())
        return;
    if (firstRead) {
        firstRead = false;
        emit portConnectionEstablished();
    }
    if (watchdogTimer)
        watchdogTimer->start(timings.watchdogMs);

    for (char c : bytes) {
        switch (devFrame.step(quint8(c))) {
        case Morv3Decoder::Outcome::NeedMore:
            break;
        case Morv3Decoder::Outcome::Complete:
            handleDevFrame();
            devFrame.clear();
            break;
        case Morv3Decoder::Outcome::Invalid:
            droppedBroken(QStringLiteral("device"), devFrame.broken(), &devBroken);
            break;
        }
        if (!devReady())
            return;   // the port is being reopened: the rest is stale
    }
}

void ComProxyMorv3::droppedBroken(const QString &side, const QByteArray &bytes, int *count)
{
    // A storm of start bytes must not flood the log: the first few are
    // named, the rest counted until a good frame comes.
    constexpr int kNamed = 5;
    ++*count;
    emit framesDropped(QStringLiteral("framing"), 1);
    if (*count <= kNamed)
        log.warn(QStringLiteral("broken frame from the %1 dropped: ").arg(side) + hexDump(bytes));
    else if (*count == kNamed + 1)
        log.warn(QStringLiteral("more broken frames from the %1, dropped without a word until a whole frame comes").arg(side));
}

void ComProxyMorv3::handleDevFrame()
{
    const Morv3Frame &frame = devFrame.frame();
    const QByteArray &data = frame.data;
    devBroken = 0;

    if (frame.id >= kFirstOwnId && frame.id != kAsyncId) {
        if (!devFrame.crcMatches()) {
            log.warn(QStringLiteral("bad CRC, answer dropped <o- ") + Morv3Frame::describe(frame));
            emit framesDropped(QStringLiteral("crc"), 1);
            return;
        }
        if (log.isDebugEnabled())
            log.debug(QStringLiteral("<o- ") + Morv3Frame::describe(frame));
        if (frame.id == pendingAbortId) {
            pendingAbortId = kNone;
            if (startsWith(data, 0xA3))
                restartListening();
        } else if (frame.id == pendingPollId) {
            pendingPollId = kNone;
            if (startsWith(data, 0xB3)) {
                emit portConnectionLost();
                restartListening();
                emit portConnectionEstablished();
            }
        }
        return;
    }

    if (frame.id == kAsyncId) {
        int skip = 0;
        if (data.size() >= 3 && quint8(data.at(0)) == 0xA6 && quint8(data.at(2)) == kOfdMarker)
            skip = 3;
        else if (data.size() >= 2 && quint8(data.at(0)) == 0xA3 && quint8(data.at(1)) == kOfdMarker)
            skip = 2;
        if (skip > 0 && !devFrame.crcMatches()) {
            // Not acknowledged either: the device still holds the message.
            log.warn(QStringLiteral("bad CRC, OFD frame dropped <o- ") + Morv3Frame::describe(frame));
            emit framesDropped(QStringLiteral("crc"), 1);
            return;
        }
        if (skip > 0) {
            emit portDataReceived(data.mid(skip));
            if (log.isDebugEnabled())
                log.debug(QStringLiteral("<o- ") + Morv3Frame::describe(frame));
            restartListening();
            return;
        }
    }

    switch (writeFrame(appPort, devFrame.raw())) {
    case Write::Done:
        log.info(QStringLiteral("<-- ") + Morv3Frame::describe(frame));
        break;
    case Write::NotOpen:
        log.warn(QStringLiteral("application port not open, dropped <-- ") + Morv3Frame::describe(frame));
        break;
    case Write::Full:
        break;
    case Write::Failed:
        log.warn(QStringLiteral("application port write failed (%1), dropped <-- ").arg(appPort->errorString())
                + Morv3Frame::describe(frame));
        break;
    }
}

void ComProxyMorv3::readFromApp()
{
    const QByteArray bytes = appPort->readAll();
    for (char c : bytes) {
        switch (appFrame.step(quint8(c))) {
        case Morv3Decoder::Outcome::NeedMore:
            break;
        case Morv3Decoder::Outcome::Complete:
            appBroken = 0;
            handleAppFrame();
            appFrame.clear();
            break;
        case Morv3Decoder::Outcome::Invalid:
            droppedBroken(QStringLiteral("application"), appFrame.broken(), &appBroken);
            break;
        }
    }
}

void ComProxyMorv3::handleAppFrame()
{
    const Morv3Frame &frame = appFrame.frame();
    const QString text = Morv3Frame::describe(frame);
    if (!devReady()) {
        log.warn(QStringLiteral("device port not open, dropped --> ") + text);
        return;
    }
    if (startsWith(frame.data, 0xC4)) {
        // The application aborts: release every task first, then renew the
        // listening task after its abort.
        acknowledgeAll();
        forwardToDevice(text);
        restartListening();
        return;
    }
    forwardToDevice(text);
}

void ComProxyMorv3::forwardToDevice(const QString &text)
{
    switch (writeFrame(devPort, appFrame.raw())) {
    case Write::Done:
        log.info(QStringLiteral("--> ") + text);
        break;
    case Write::NotOpen:
        log.warn(QStringLiteral("device port not open, dropped --> ") + text);
        break;
    case Write::Full:
        break;
    case Write::Failed:
        log.warn(QStringLiteral("device port write failed (%1), dropped --> ").arg(devPort->errorString()) + text);
        break;
    }
}
