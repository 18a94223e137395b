#include "ofd/ofdworker.h"

#include "core/hexdump.h"
#include "core/settings.h"
#include "logging/dailyrollingfileappender.h"
#include "logging/loglayout.h"
#include "ofd/ofdlog.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <log4cxx/helpers/pool.h>

#include <map>
#include <mutex>

namespace {

const char *const kDebugAppenderName = "Debug.log";

// One appender per debug log file for the whole process: two appenders on
// one file would each roll it over and archive over each other, and a
// device whose worker is re-created would write every line twice.
log4cxx::AppenderPtr sharedDebugAppender(const QString &fileName)
{
    static std::mutex mutex;
    static std::map<QString, log4cxx::AppenderPtr> appenders;
    std::lock_guard<std::mutex> guard(mutex);
    auto found = appenders.find(fileName);
    if (found != appenders.end())
        return found->second;

    auto appender = std::make_shared<kiv::DailyRollingFileAppender>();
    // Not the "file" appender's layout: sharing one across threads mangles lines.
    appender->setLayout(kiv::LogLayout::create());
    appender->setFile(fileName.toStdString());
    appender->setDatePattern(kiv::DailyRollingFileAppender::DAILY_ROLLOVER);
    appender->setAppend(true);
    appender->setMaxBackupIndex(14);
    appender->setZip(true);
    appender->setEncoding(LOG4CXX_STR("UTF-8"));
    appender->setName(LOG4CXX_STR("Debug.log"));
    log4cxx::helpers::Pool pool;
    appender->activateOptions(pool);
    appenders.emplace(fileName, appender);
    return appender;
}

} // namespace

OfdWorker::OfdWorker(const QString &id, QObject *parent)
    : IWorker(parent)
    , deviceName(id)
    , debugLoggerName(QStringLiteral("Debug-") + id)
    , versionTimer(new QTimer(this))
    , handshakeTimer(new QTimer(this))
    , frameTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("Ofd-") + id);
    log = ofdlog::logger(objectName());
    setupDebugLog();
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

OfdWorker::~OfdWorker()
{
    stopRequested.store(true);
}

void OfdWorker::setupDebugLog()
{
    const QString fileName = readSettings().logsDir + QLatin1Char('/') + QLatin1String(kDebugAppenderName);
    const log4cxx::AppenderPtr shared = sharedDebugAppender(fileName);

    debugLog = ofdlog::logger(debugLoggerName);
    // Attach once: a re-created worker for the same device finds it there.
    const log4cxx::AppenderPtr attached = debugLog->getAppender(LOG4CXX_STR("Debug.log"));
    if (attached != shared) {
        if (attached)
            debugLog->removeAppender(attached);
        debugLog->addAppender(shared);
    }
    if (auto console = log4cxx::Logger::getRootLogger()->getAppender(LOG4CXX_STR("console"))) {
        if (!debugLog->isAttached(console))
            debugLog->addAppender(console);
    }
    debugLog->setAdditivity(false);
}

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
    OfdChannel &channel = channels[n];
    channel.worker = worker;
    channel.stateTag = quint8(TlvCodec::RxConnectState0 + n);
}

void OfdWorker::start()
{
    if (!stopRequested.load()) {
        QEventLoop events;
        loop = &events;
        // A stop() that came before the loop existed is still seen.
        if (!stopRequested.load())
            events.exec();
        loop = nullptr;
    }
    handshakeTimer->stop();
    frameTimer->stop();
    versionTimer->stop();
    for (OfdChannel &channel : channels) {
        channel.worker->discard();
        channel.state = ChannelState::Idle;
    }
    emit finished();
}

void OfdWorker::stop()
{
    stopRequested.store(true);
    if (QThread::currentThread() == thread())
        quitLoop();
    else
        QMetaObject::invokeMethod(this, &OfdWorker::quitLoop, Qt::QueuedConnection);
}

void OfdWorker::quitLoop()
{
    if (loop)
        loop->quit();
}

void OfdWorker::pause()
{
    ofdlog::info(log, QStringLiteral("pause"));
    paused = true;
    resetChannels();
}

void OfdWorker::resetChannels()
{
    waitingForVersion = true;
    handshakeTimer->stop();
    frameTimer->stop();
    // The device is gone: its connections end without a report.
    for (OfdChannel &channel : channels) {
        channel.packetSize = 0;
        channel.state = ChannelState::Idle;
        channel.worker->discard();
    }
}

void OfdWorker::unpause()
{
    ofdlog::info(log, QStringLiteral("continue"));
    decoder.clear();
    framingDropped = 0;
    frameTimer->stop();
    paused = false;
    if (waitingForVersion)
        handshakeTimer->start();
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
    while (!paused && !stopRequested.load()) {
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
            ofdlog::info(log, QStringLiteral("TLV framing regained, %1 bytes dropped").arg(framingDropped));
            framingDropped = 0;
        }
        restartVersionTimer();
        handleCommand(result.frame);
    }
}

void OfdWorker::onFrameTimeout()
{
    const TlvCodec::Result result = decoder.next(true);
    if (result.outcome == TlvCodec::Outcome::Invalid) {
        if (result.loss == TlvCodec::Loss::Incomplete)
            ofdlog::error(log, QStringLiteral("%1 != %2").arg(result.have).arg(result.announced));
        framingLost(result);
    }
    processFrames();
}

void OfdWorker::framingLost(const TlvCodec::Result &result)
{
    // A log line per dropped piece would let a noisy line flood the log.
    constexpr int kShown = 64;
    if (framingDropped == 0) {
        QString why;
        if (result.loss == TlvCodec::Loss::UnknownTag)
            why = QStringLiteral("tag %1 is not one the device sends")
                      .arg(QString::fromLatin1(result.dropped.left(1).toHex().toUpper()));
        else if (result.loss == TlvCodec::Loss::Incomplete)
            why = QStringLiteral("frame incomplete at its time limit");
        else
            why = QStringLiteral("no frame start");
        ofdlog::warn(log, QStringLiteral("TLV framing lost (%1), dropped until a frame starts: ").arg(why)
                              + hexDump(result.dropped.left(kShown)));
    }
    framingDropped += result.used;
}

void OfdWorker::sendCommand(const TlvCommand &command)
{
    ofdlog::info(log, QStringLiteral("Command --> %1").arg(commandName(command.tag)));
    emit sendData(encodeFrame(command));
}

void OfdWorker::handleCommand(const TlvCommand &command)
{
    ofdlog::info(log, QStringLiteral("Command <-- %1").arg(commandName(command.tag)));
    const QByteArray &value = command.value;
    // Missing bytes of a short value count as zero.
    auto byteAt = [&value](int i) -> quint8 { return i < value.size() ? quint8(value.at(i)) : 0; };
    const int n = command.tag & 1;

    if (waitingForVersion) {
        if (command.tag == TlvCodec::TxResponseVersion) {
            if (value.isEmpty()) {
                ofdlog::error(log, QStringLiteral("Invalid version"));
            } else {
                const qint8 version = qint8(byteAt(0));
                if (version > 2) {
                    ofdlog::error(log, QStringLiteral("Invalid version - %1").arg(int(version)));
                } else {
                    waitingForVersion = false;
                    handshakeTimer->stop();
                    restartVersionTimer();
                }
            }
        } else {
            ofdlog::error(log, QStringLiteral("Command ignored, wait for version"));
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
        default:
            break;
        }
    }

    if (command.tag == TlvCodec::TxLog)
        writeDeviceLog(value);
}

void OfdWorker::connectChannel(int n, const QByteArray &value)
{
    OfdChannel &channel = channels[n];
    const int zero = value.indexOf('\0');
    const QString host = QString::fromUtf8(zero < 0 ? value : value.left(zero));
    channel.worker->setHost(host);
    ofdlog::info(log, QStringLiteral("Connect to %1:%2").arg(host).arg(channel.worker->port()));
    // The state first: the outcome may be reported from inside open().
    // A connection this replaces ends silently, with its unread bytes.
    channel.state = ChannelState::Connecting;
    channel.worker->open();
}

void OfdWorker::closeChannel(int n)
{
    OfdChannel &channel = channels[n];
    if (channel.state != ChannelState::Connecting && channel.state != ChannelState::Connected)
        return;
    channel.state = ChannelState::Closing;
    channel.worker->close();
}

void OfdWorker::writeChannel(int n, const QByteArray &value)
{
    OfdChannel &channel = channels[n];
    switch (channel.state) {
    case ChannelState::Connecting:
    case ChannelState::Connected:
        channel.worker->write(value);
        return;
    case ChannelState::Lost:
        ofdlog::warn(log, QStringLiteral("No write, connection lost"));
        return;
    case ChannelState::Idle:
    case ChannelState::Closing:
        ofdlog::warn(log, QStringLiteral("No write, connection closed"));
        return;
    }
}

void OfdWorker::onChannelState(int n, TcpWorker::ConnectionState state)
{
    OfdChannel &channel = channels[n];
    if (state == TcpWorker::Connected) {
        if (channel.state == ChannelState::Connecting) {
            channel.state = ChannelState::Connected;
            sendCommand(TlvCommand(channel.stateTag, QByteArray(1, '\x01')));
        }
        return;
    }
    // Each connection ends once; a channel with none has nothing to report.
    if (channel.state == ChannelState::Idle || channel.state == ChannelState::Lost)
        return;
    channel.state = ChannelState::Lost;
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
        sendCommand(TlvCommand(quint8(TlvCodec::RxData0 + n), chunk));
    }
    // The loss is told only once every byte of the connection is delivered.
    if (channel.state == ChannelState::Lost && !channel.worker->hasData()) {
        channel.state = ChannelState::Idle;
        sendCommand(TlvCommand(channel.stateTag, QByteArray(1, '\x00')));
    }
}

void OfdWorker::writeDeviceLog(const QByteArray &value)
{
    ofdlog::info(debugLog, hexDump(value));
    const QByteArray rest = value.mid(1);
    const quint8 subType = value.isEmpty() ? 0 : quint8(value.at(0));
    switch (subType) {
    case 1:
        ofdlog::info(debugLog, QStringLiteral("Начало передачи сообщения в ФН: [%1]").arg(hexDump(rest)));
        break;
    case 2:
        ofdlog::info(debugLog, QStringLiteral("Продолжение передачи сообщения в ФН: [%1]").arg(hexDump(rest)));
        break;
    case 3:
        ofdlog::info(debugLog, QStringLiteral("Начало приема сообщения от ФН: [%1]").arg(hexDump(rest)));
        break;
    case 4:
        ofdlog::info(debugLog, QStringLiteral("Продолжение приема сообщения от ФН: [%1]").arg(hexDump(rest)));
        break;
    case 5:
        if (value.size() >= 2) {
            const QString code = QStringLiteral("%1").arg(quint8(value.at(1)), 2, 16, QLatin1Char('0')).toUpper();
            ofdlog::info(debugLog, QStringLiteral("Ошибка в процессе обмена с ФН [%1]").arg(code));
        } else
            ofdlog::info(debugLog, QStringLiteral("Неизвестная ошибка в процессе обмена с ФН"));
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
