#include "ofd/ofdworker.h"

#include "core/hexdump.h"
#include "core/log.h"

#include <QDateTime>
#include <QTimer>

#include <log4cxx/mdc.h>

OfdWorker::OfdWorker(const QString &id, log4cxx::LoggerPtr debugLogger, QObject *parent)
    : IWorker(parent)
    , deviceName(id)
    , versionTimer(new QTimer(this))
    , handshakeTimer(new QTimer(this))
    , frameTimer(new QTimer(this))
    , trafficTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("Ofd-") + id);
    qRegisterMetaType<SessionRecord>("SessionRecord");
    trafficTimer->setSingleShot(true);
    connect(trafficTimer, &QTimer::timeout, this, &OfdWorker::publishTraffic);
    log = Log(objectName());
    // The service places the device log; without one the lines go where
    // the logger's configuration sends them.
    debugLog = debugLogger ? Log(debugLogger) : Log(QStringLiteral("Debug-") + id);
    connect(versionTimer, &QTimer::timeout, this, &OfdWorker::sendVersionRequest);
    // About once a second while the device has not answered.
    handshakeTimer->setInterval(1000);
    connect(handshakeTimer, &QTimer::timeout, this, &OfdWorker::sendVersionRequest);
    frameTimer->setSingleShot(true);
    connect(frameTimer, &QTimer::timeout, this, &OfdWorker::onFrameTimeout);
    createChannel(0);
    createChannel(1);
    pause();
}

OfdWorker::~OfdWorker() = default;

void OfdWorker::setConnectTimeout(int ms)
{
    for (OfdChannel &channel : channels)
        channel.worker->setConnectTimeout(ms);
}

void OfdWorker::setDrainTimeout(int ms)
{
    for (OfdChannel &channel : channels)
        channel.worker->setDrainTimeout(ms);
}

void OfdWorker::setReadLimit(qsizetype bytes)
{
    for (OfdChannel &channel : channels)
        channel.worker->setReadLimit(bytes);
}

void OfdWorker::setWriteLimit(qsizetype bytes)
{
    for (OfdChannel &channel : channels)
        channel.worker->setWriteLimit(bytes);
}

void OfdWorker::createChannel(int n)
{
    // A child: it moves to our thread with us and goes with us.
    auto *worker = new TcpWorker(QStringLiteral("TCP%1-%2").arg(n).arg(deviceName), this);
    connect(worker, &TcpWorker::connectionStateChanged, this,
            [this, n](TcpWorker::ConnectionState state) { onChannelState(n, state); });
    connect(worker, &TcpWorker::dataReceived, this, [this, n] { deliver(n); });
    connect(worker, &TcpWorker::resolved, this, [this, n] { publish(n); });
    connect(worker, &TcpWorker::trafficMoved, this, &OfdWorker::noteTraffic);
    connect(worker, &TcpWorker::troubleChanged, this, &OfdWorker::troubleChanged);
    OfdChannel &channel = channels[n];
    channel.worker = worker;
    channel.stateTag = quint8(TlvCodec::RxConnectState0 + n);
}

void OfdWorker::start()
{
    workerLoop.run();
    handshakeTimer->stop();
    frameTimer->stop();
    versionTimer->stop();
    trafficTimer->stop();
    for (int n = 0; n < 2; ++n) {
        channels[n].worker->discard();
        channels[n].state = ChannelState::Idle;
        endSession(n, stopCause);
    }
    emit finished();
}

void OfdWorker::stop()
{
    workerLoop.stop();
}

void OfdWorker::pause()
{
    log.info(QStringLiteral("pause"));
    paused = true;
    resetChannels();
    updateLink();
}

void OfdWorker::resetChannels()
{
    waitingForVersion = true;
    handshakeTimer->stop();
    frameTimer->stop();
    // No keep-alive for a device that is not there; the handshake restarts it.
    versionTimer->stop();
    // The device is gone: its connections end without a report.
    for (int n = 0; n < 2; ++n) {
        OfdChannel &channel = channels[n];
        channel.packetSize = 0;
        channel.state = ChannelState::Idle;
        channel.worker->discard();
        endSession(n, QStringLiteral("port-lost"));
    }
}

void OfdWorker::unpause()
{
    log.info(QStringLiteral("continue"));
    decoder.clear();
    framingDropped = 0;
    frameTimer->stop();
    paused = false;
    if (waitingForVersion)
        handshakeTimer->start();
    updateLink();
}

void OfdWorker::onDataReceived(QByteArray a)
{
    // Bytes of a paused device would be dropped by unpause() anyway.
    if (paused)
        return;
    decoder.feed(a);
    processFrames();
}

void OfdWorker::processFrames()
{
    while (!paused && !workerLoop.stopping()) {
        const TlvCodec::Result result = decoder.next();
        if (result.outcome == TlvCodec::Outcome::Invalid) {
            framingLost(result);
            continue;
        }
        if (result.outcome != TlvCodec::Outcome::Complete) {
            // The limit runs from the moment a frame's header is there.
            if (result.announced > 0) {
                if (!frameTimer->isActive())
                    frameTimer->start(frameTimeout);
            } else {
                frameTimer->stop();
            }
            return;
        }
        frameTimer->stop();
        if (framingDropped > 0) {
            log.info(QStringLiteral("TLV framing regained, %1 bytes dropped").arg(framingDropped));
            framingDropped = 0;
        }
        restartVersionTimer();
        lastFrameMs = QDateTime::currentMSecsSinceEpoch();
        noteTraffic();
        handleCommand(result.frame);
    }
}

void OfdWorker::onFrameTimeout()
{
    const TlvCodec::Result result = decoder.next(true);
    if (result.outcome == TlvCodec::Outcome::Invalid) {
        if (result.loss == TlvCodec::Loss::Incomplete)
            log.error(QStringLiteral("%1 != %2").arg(result.have).arg(result.announced));
        framingLost(result);
    }
    processFrames();
}

void OfdWorker::framingLost(const TlvCodec::Result &result)
{
    // A log line per dropped piece would let a noisy line flood the log.
    constexpr int kShown = 64;
    if (framingDropped == 0) {
        emit framesDropped(QStringLiteral("framing"), 1);
        QString why;
        if (result.loss == TlvCodec::Loss::UnknownTag)
            why = QStringLiteral("tag %1 is not one the device sends")
                      .arg(QString::fromLatin1(result.dropped.left(1).toHex().toUpper()));
        else if (result.loss == TlvCodec::Loss::Incomplete)
            why = QStringLiteral("frame incomplete at its time limit");
        else
            why = QStringLiteral("no frame start");
        log.warn(QStringLiteral("TLV framing lost (%1), dropped until a frame starts: ").arg(why)
                              + hexDump(result.dropped.left(kShown)));
    }
    framingDropped += result.used;
}

void OfdWorker::sendCommand(const TlvCommand &command)
{
    log.info(QStringLiteral("Command --> %1").arg(commandName(command.tag)));
    emit sendData(encodeFrame(command));
}

void OfdWorker::handleCommand(const TlvCommand &command)
{
    log.info(QStringLiteral("Command <-- %1").arg(commandName(command.tag)));
    const QByteArray &value = command.value;
    // Missing bytes of a short value count as zero.
    auto byteAt = [&value](int i) -> quint8 { return i < value.size() ? quint8(value.at(i)) : 0; };
    const int n = command.tag & 1;

    if (waitingForVersion) {
        if (command.tag == TlvCodec::TxResponseVersion) {
            if (value.isEmpty()) {
                log.error(QStringLiteral("Invalid version"));
            } else {
                const qint8 version = qint8(byteAt(0));
                if (version > 2) {
                    log.error(QStringLiteral("Invalid version - %1").arg(int(version)));
                } else {
                    waitingForVersion = false;
                    handshakeTimer->stop();
                    restartVersionTimer();
                    updateLink();
                }
            }
        } else {
            log.error(QStringLiteral("Command ignored, wait for version"));
        }
    } else {
        switch (command.tag) {
        case TlvCodec::TxDns:
            return;
        case TlvCodec::TxRequestVersion:
            sendCommand(TlvCommand(TlvCodec::RxResponseVersion, QByteArray(1, '\x02')));
            break;
        case TlvCodec::TxPacketSize0:
        case TlvCodec::TxPacketSize1:
            // The grant is a length byte: 0..255.
            channels[n].packetSize = byteAt(0);
            deliver(n);
            break;
        case TlvCodec::TxPort0:
        case TlvCodec::TxPort1:
            channels[n].worker->setPort(quint16(byteAt(0) + 256 * byteAt(1)));
            break;
        case TlvCodec::TxConnect0:
        case TlvCodec::TxConnect1:
            connectChannel(n, value);
            break;
        case TlvCodec::TxConnect0Close:
        case TlvCodec::TxConnect1Close:
            closeChannel(n);
            break;
        case TlvCodec::TxData0:
        case TlvCodec::TxData1:
            writeChannel(n, value);
            break;
        case TlvCodec::TxLog:
            writeDeviceLog(value);
            break;
        default:
            break;
        }
    }
}

void OfdWorker::connectChannel(int n, const QByteArray &value)
{
    OfdChannel &channel = channels[n];
    const int zero = value.indexOf('\0');
    const QString host = QString::fromUtf8(zero < 0 ? value : value.left(zero));
    channel.worker->setHost(host);
    log.info(QStringLiteral("Connect to %1:%2").arg(host).arg(channel.worker->port()));
    // A connection this replaces ends silently, with its unread bytes.
    if (channel.state == ChannelState::Lost)
        endSession(n, channel.worker->endCause());
    else
        endSession(n, QStringLiteral("device-close"));
    // The state first: the outcome may be reported from inside open().
    channel.state = ChannelState::Connecting;
    beginSession(n);
    channel.worker->open();
}

void OfdWorker::closeChannel(int n)
{
    OfdChannel &channel = channels[n];
    if (channel.state != ChannelState::Connecting && channel.state != ChannelState::Connected)
        return;
    channel.state = ChannelState::Closing;
    publish(n);
    channel.worker->close();
}

void OfdWorker::writeChannel(int n, const QByteArray &value)
{
    OfdChannel &channel = channels[n];
    switch (channel.state) {
    case ChannelState::Connecting:
    case ChannelState::Connected:
        channel.session.taken += value.size();
        noteTraffic();
        channel.worker->write(value);
        return;
    case ChannelState::Lost:
        log.warn(QStringLiteral("No write, connection lost"));
        return;
    case ChannelState::Idle:
    case ChannelState::Closing:
        log.warn(QStringLiteral("No write, connection closed"));
        return;
    }
}

void OfdWorker::onChannelState(int n, TcpWorker::ConnectionState state)
{
    OfdChannel &channel = channels[n];
    if (state == TcpWorker::Connected) {
        if (channel.state == ChannelState::Connecting) {
            channel.state = ChannelState::Connected;
            channel.session.connectedMs = QDateTime::currentMSecsSinceEpoch();
            channel.session.addr = channel.worker->peer();
            publish(n);
            updateLink();
            sendCommand(TlvCommand(channel.stateTag, QByteArray(1, '\x01')));
        }
        return;
    }
    // Each connection ends once; a channel with none has nothing to report.
    if (channel.state == ChannelState::Idle || channel.state == ChannelState::Lost)
        return;
    channel.state = ChannelState::Lost;
    publish(n);
    deliver(n);
}

void OfdWorker::deliver(int n)
{
    OfdChannel &channel = channels[n];
    if (paused)
        return;
    if (channel.packetSize > 0 && channel.worker->hasData()
        && (channel.state == ChannelState::Connected || channel.state == ChannelState::Lost)) {
        const QByteArray chunk = channel.worker->read(channel.packetSize);
        channel.packetSize = 0;
        channel.session.delivered += chunk.size();
        noteTraffic();
        sendCommand(TlvCommand(quint8(TlvCodec::RxData0 + n), chunk));
    }
    // The loss is told only once every byte of the connection is delivered.
    if (channel.state == ChannelState::Lost && !channel.worker->hasData()) {
        channel.state = ChannelState::Idle;
        sendCommand(TlvCommand(channel.stateTag, QByteArray(1, '\x00')));
        endSession(n, channel.worker->endCause());
    }
}

void OfdWorker::writeDeviceLog(const QByteArray &value)
{
    debugLog.info(hexDump(value));
    const QByteArray rest = value.mid(1);
    const quint8 subType = value.isEmpty() ? 0 : quint8(value.at(0));
    switch (subType) {
    case 1:
        debugLog.info(QStringLiteral("Начало передачи сообщения в ФН: [%1]").arg(hexDump(rest)));
        break;
    case 2:
        debugLog.info(QStringLiteral("Продолжение передачи сообщения в ФН: [%1]").arg(hexDump(rest)));
        break;
    case 3:
        debugLog.info(QStringLiteral("Начало приема сообщения от ФН: [%1]").arg(hexDump(rest)));
        break;
    case 4:
        debugLog.info(QStringLiteral("Продолжение приема сообщения от ФН: [%1]").arg(hexDump(rest)));
        break;
    case 5:
        if (value.size() >= 2) {
            const QString code = QStringLiteral("%1").arg(quint8(value.at(1)), 2, 16, QLatin1Char('0')).toUpper();
            debugLog.info(QStringLiteral("Ошибка в процессе обмена с ФН [%1]").arg(code));
        } else
            debugLog.info(QStringLiteral("Неизвестная ошибка в процессе обмена с ФН"));
        break;
    default:
        break;
    }
}

void OfdWorker::sendVersionRequest()
{
    sendCommand(TlvCommand(TlvCodec::RxRequestVersion, QByteArray()));
    restartVersionTimer();
}

void OfdWorker::restartVersionTimer()
{
    versionTimer->start(keepAliveInterval);
}

void OfdWorker::beginSession(int n)
{
    OfdChannel &channel = channels[n];
    SessionRecord fresh;
    fresh.ch = n;
    fresh.number = ++sessionCount;
    fresh.host = channel.worker->host();
    fresh.port = channel.worker->port();
    fresh.openedMs = QDateTime::currentMSecsSinceEpoch();
    channel.session = fresh;
    publish(n);
    updateLink();
}

void OfdWorker::endSession(int n, const QString &cause)
{
    OfdChannel &channel = channels[n];
    if (channel.session.number == 0 || channel.session.ended())
        return;
    SessionRecord record = snapshot(n);
    record.state = SessionRecord::Idle;
    record.endedMs = qMax<qint64>(QDateTime::currentMSecsSinceEpoch(), record.openedMs + 1);
    record.end = cause.isEmpty() ? QStringLiteral("socket-error") : cause;
    record.queuedToDevice = 0;
    record.queuedToOfd = 0;
    record.grant = 0;
    channel.session = record;
    {
        // The accounting line goes to the journal like the service's own.
        log4cxx::MDC admit("journal", "info");
        if (record.result() == QLatin1String("ok"))
            log.info(record.line(deviceName));
        else
            log.warn(record.line(deviceName));
    }
    emit sessionClosed(record);
    emit channelChanged(record);
    updateLink();
}

SessionRecord OfdWorker::snapshot(int n) const
{
    const OfdChannel &channel = channels[n];
    SessionRecord record = channel.session;
    if (record.ended())
        return record;
    const TcpWorker *worker = channel.worker;
    record.written = worker->sentCount();
    record.read = worker->readCount();
    record.unacked = worker->unackedCount();
    record.queuedToDevice = worker->bufferedSize();
    record.queuedToOfd = worker->bytesToWrite();
    record.grant = channel.packetSize;
    switch (channel.state) {
    case ChannelState::Idle: record.state = SessionRecord::Idle; break;
    case ChannelState::Connecting:
        record.state = worker->isResolving() ? SessionRecord::Resolving : SessionRecord::Connecting;
        break;
    case ChannelState::Connected:
        record.state = worker->isDraining() ? SessionRecord::Draining : SessionRecord::Open;
        break;
    case ChannelState::Closing:
    case ChannelState::Lost: record.state = SessionRecord::Draining; break;
    }
    return record;
}

void OfdWorker::publish(int n)
{
    if (channels[n].session.number > 0)
        emit channelChanged(snapshot(n));
}

void OfdWorker::noteTraffic()
{
    // Runs only while there is something to tell.
    if (!trafficTimer->isActive())
        trafficTimer->start(kTrafficReportMs);
}

void OfdWorker::publishTraffic()
{
    if (lastFrameMs != toldFrameMs) {
        toldFrameMs = lastFrameMs;
        emit frameSeen(lastFrameMs);
    }
    for (int n = 0; n < 2; ++n) {
        if (!channels[n].session.ended())
            publish(n);
    }
}

void OfdWorker::updateLink()
{
    int state = Ready;
    if (paused)
        state = Down;
    else if (waitingForVersion)
        state = Handshake;
    else {
        for (const OfdChannel &channel : channels) {
            if (channel.state != ChannelState::Idle)
                state = Exchanging;
        }
    }
    if (state == linkState)
        return;
    linkState = state;
    emit linkStateChanged(state);
}
