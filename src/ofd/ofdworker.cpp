#include "ofd/ofdworker.h"

#include "core/eventwait.h"
#include "core/hexdump.h"
#include "core/settings.h"
#include "logging/dailyrollingfileappender.h"
#include "logging/loglayout.h"
#include "ofd/ofdlog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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
{
    setObjectName(QStringLiteral("Ofd-") + id);
    log = ofdlog::logger(objectName());
    setupDebugLog();
    createChannel(0);
    createChannel(1);
    pause();
}

OfdWorker::~OfdWorker()
{
    stop();
    delete versionTimer;
    versionTimer = nullptr;
    // Channel threads must have ended before they go with us, and their
    // workers with them, so that no call reaches a deleted worker.
    for (OfdChannel &channel : channels) {
        channel.worker->markClosing();
        channel.thread->quit();
        channel.thread->wait();
        delete channel.worker;
        channel.worker = nullptr;
    }
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

QString OfdWorker::commandName(quint8 tag)
{
    switch (tag) {
    case RxRequestVersion: return QStringLiteral("U2E_TLV_RX_REQUEST_VERSION");
    case RxResponseVersion: return QStringLiteral("U2E_TLV_RX_RESPONSE_VERSION");
    case RxConnectState0: return QStringLiteral("U2E_TLV_RX_CONNECT_STATE0");
    case RxConnectState1: return QStringLiteral("U2E_TLV_RX_CONNECT_STATE1");
    case RxData0: return QStringLiteral("U2E_TLV_RX_DATA0");
    case RxData1: return QStringLiteral("U2E_TLV_RX_DATA1");
    case TxResponseVersion: return QStringLiteral("U2E_TLV_TX_RESPONSE_VERSION");
    case TxDns: return QStringLiteral("U2E_TLV_TX_DNS");
    case TxRequestVersion: return QStringLiteral("U2E_TLV_TX_REQUEST_VERSION");
    case TxPacketSize0: return QStringLiteral("U2E_TLV_TX_PACKET_SIZE0");
    case TxPacketSize1: return QStringLiteral("U2E_TLV_TX_PACKET_SIZE1");
    case TxPort0: return QStringLiteral("U2E_TLV_TX_PORT0");
    case TxPort1: return QStringLiteral("U2E_TLV_TX_PORT1");
    case TxConnect0: return QStringLiteral("U2E_TLV_TX_CONNECT0");
    case TxConnect1: return QStringLiteral("U2E_TLV_TX_CONNECT1");
    case TxConnect0Close: return QStringLiteral("U2E_TLV_TX_CONNECT0_CLOSE");
    case TxConnect1Close: return QStringLiteral("U2E_TLV_TX_CONNECT1_CLOSE");
    case TxData0: return QStringLiteral("U2E_TLV_TX_DATA0");
    case TxData1: return QStringLiteral("U2E_TLV_TX_DATA1");
    case TxLog: return QStringLiteral("U2E_TLV_TX_LOG");
    default: return QStringLiteral("UNKNOWN (%1)").arg(tag, 2, 16, QLatin1Char('0'));
    }
}

QByteArray OfdWorker::encodeFrame(const TlvCommand &command)
{
    // Values never exceed 255 bytes: the longest is one granted chunk.
    QByteArray frame;
    frame.reserve(command.value.size() + 2);
    frame.append(char(command.tag));
    frame.append(char(quint8(command.value.size())));
    frame.append(command.value);
    return frame;
}

void OfdWorker::createChannel(int n)
{
    const QString name = QStringLiteral("TCP%1-%2").arg(n).arg(deviceName);
    auto *worker = new TcpWorker(name);
    auto *thread = new QThread(this);
    worker->moveToThread(thread);

    connect(thread, &QThread::started, worker, &TcpWorker::open);
    connect(thread, &QThread::finished, worker, &TcpWorker::close);
    connect(worker, &TcpWorker::connectionStateChanged, this, &OfdWorker::onConnectionStateChanged);
    if (n == 0)
        connect(this, &OfdWorker::sendToTcp0, worker, &TcpWorker::write);
    else
        connect(this, &OfdWorker::sendToTcp1, worker, &TcpWorker::write);

    OfdChannel channel;
    channel.worker = worker;
    channel.thread = thread;
    channel.stateTag = quint8(RxConnectState0 + n);
    channels.insert(n, channel);
}

bool OfdWorker::onOwnThread() const
{
    return QThread::currentThread() == thread();
}

bool OfdWorker::channelsHaveData() const
{
    for (const OfdChannel &channel : channels) {
        if (channel.worker->hasData())
            return true;
    }
    return false;
}

void OfdWorker::start()
{
    int sleepTime = 1000;
    bool held = false;
    for (;;) {
        if (stopRequested.load())
            break;
        cycleLock.lock();
        held = true;
        if (paused.load()) {
            sleepProcessingEvents(10);
            cycleLock.unlock();
            held = false;
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (stopRequested.load())
            break;
        sleepProcessingEvents(sleepTime);
        if (stopRequested.load())
            break;
        // A pause that arrived while we slept: the device is gone.
        if (!paused.load()) {
            if (waitingForVersion.load())
                sendVersionRequest();

            for (auto it = channels.begin(); it != channels.end(); ++it) {
                OfdChannel &channel = it.value();
                if (channel.packetSize == 0)
                    continue;
                const QByteArray chunk = channel.worker->read(channel.packetSize);
                if (!chunk.isEmpty()) {
                    sendCommand(TlvCommand(quint8(RxData0 + it.key()), chunk));
                    channel.packetSize = 0;
                }
            }
            // The loss is told only once every received byte is delivered.
            for (OfdChannel &channel : channels) {
                if (channel.lost && !channel.worker->hasData()) {
                    sendCommand(TlvCommand(channel.stateTag, QByteArray(1, '\x00')));
                    channel.lost = false;
                }
            }

            TlvCommand command;
            while (!stopRequested.load() && !paused.load() && readCommand(command)) {
                restartVersionTimer();
                handleCommand(command);
            }
        }

        if (waitingForVersion.load())
            sleepTime = 1000;
        else
            sleepTime = channelsHaveData() ? 1 : 5;
        cycleLock.unlock();
        held = false;
    }
    if (held)
        cycleLock.unlock();
    // The timer belongs to this thread: end it here, not in a destructor
    // that may run elsewhere.
    delete versionTimer;
    versionTimer = nullptr;
    emit finished();
}

void OfdWorker::stop()
{
    // On our own thread the cycle is either not running or waiting in its
    // event processing with the lock held by this very thread.
    if (onOwnThread()) {
        stopRequested.store(true);
        return;
    }
    // From elsewhere: after the running cycle. The flag is set under the
    // lock, so the cycle cannot end (and the worker go) before we let go.
    cycleLock.lock();
    stopRequested.store(true);
    cycleLock.unlock();
}

void OfdWorker::pause()
{
    ofdlog::info(log, QStringLiteral("pause"));
    paused.store(true);
    // The channels are the cycle's own state: from another thread, hand the
    // reset to our thread, where the cycle runs it between its steps. On our
    // own thread we are already inside the cycle's event processing (or no
    // cycle runs), so the cycle lock is neither needed nor taken.
    if (onOwnThread())
        resetChannels();
    else
        QMetaObject::invokeMethod(this, &OfdWorker::resetChannels, Qt::QueuedConnection);
}

void OfdWorker::resetChannels()
{
    waitingForVersion.store(true);
    for (OfdChannel &channel : channels) {
        channel.packetSize = 0;
        channel.lost = false;
        channel.thread->quit();
    }
}

void OfdWorker::unpause()
{
    ofdlog::info(log, QStringLiteral("continue"));
    {
        QMutexLocker locker(&bufferLock);
        receiveBuffer.clear();
    }
    paused.store(false);
}

void OfdWorker::onDataReceived(QByteArray a)
{
    QMutexLocker locker(&bufferLock);
    receiveBuffer.append(a);
}

void OfdWorker::onConnectionStateChanged(TcpWorker::ConnectionState state)
{
    auto *worker = qobject_cast<TcpWorker *>(sender());
    for (OfdChannel &channel : channels) {
        if (channel.worker != worker)
            continue;
        if (state == TcpWorker::Connected) {
            sendCommand(TlvCommand(channel.stateTag, QByteArray(1, '\x01')));
            return;
        }
        // A report of an end already taken, or of a connection that has been
        // replaced since (the new one is being made or is up), is a repeat.
        if (channel.ended || worker->isLive())
            return;
        channel.ended = true;
        channel.lost = true;
        channel.thread->quit();
        return;
    }
}

QByteArray OfdWorker::takeBytes(int count, bool exact)
{
    QMutexLocker locker(&bufferLock);
    if (exact && receiveBuffer.size() < count)
        return {};
    const QByteArray bytes = receiveBuffer.left(count);
    receiveBuffer.remove(0, bytes.size());
    return bytes;
}

bool OfdWorker::readCommand(TlvCommand &command)
{
    const QByteArray header = takeBytes(2, true);
    if (header.size() < 2)
        return false;
    command.tag = quint8(header.at(0));
    const int length = quint8(header.at(1));
    command.value.clear();
    if (length == 0)
        return true;

    QByteArray collected;
    QElapsedTimer stopwatch;
    stopwatch.start();
    for (;;) {
        if (stopwatch.elapsed() >= frameTimeout.load()) {
            ofdlog::error(log, QStringLiteral("%1 != %2").arg(collected.size()).arg(length));
            return false;
        }
        collected.append(takeBytes(length - int(collected.size()), false));
        if (collected.size() == length)
            break;
        sleepProcessingEvents(1);
        // Ending or losing the device: the partial frame goes with it.
        if (stopRequested.load() || paused.load())
            return false;
    }
    command.value = collected;
    return true;
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

    if (waitingForVersion.load()) {
        if (command.tag == TxResponseVersion) {
            if (value.isEmpty()) {
                ofdlog::error(log, QStringLiteral("Invalid version"));
            } else {
                const qint8 version = qint8(byteAt(0));
                if (version > 2) {
                    ofdlog::error(log, QStringLiteral("Invalid version - %1").arg(int(version)));
                } else {
                    waitingForVersion.store(false);
                    restartVersionTimer();
                }
            }
        } else {
            ofdlog::error(log, QStringLiteral("Command ignored, wait for version"));
        }
    } else {
        switch (command.tag) {
        case TxDns:
            return;
        case TxRequestVersion:
            sendCommand(TlvCommand(RxResponseVersion, QByteArray(1, '\x02')));
            break;
        case TxPacketSize0:
        case TxPacketSize1:
            // The grant is a length byte: 0..255.
            channels[n].packetSize = byteAt(0);
            break;
        case TxPort0:
        case TxPort1:
            channels[n].worker->setPort(quint16(byteAt(0) + 256 * byteAt(1)));
            break;
        case TxConnect0:
        case TxConnect1:
            connectChannel(n, value);
            break;
        case TxConnect0Close:
        case TxConnect1Close:
            closeChannel(n);
            break;
        case TxData0:
        case TxData1: {
            OfdChannel &channel = channels[n];
            if (channel.lost) {
                ofdlog::info(log, QStringLiteral("No write, connection lost"));
                break;
            }
            channel.worker->addPending(int(value.size()));
            if (n == 0)
                emit sendToTcp0(value);
            else
                emit sendToTcp1(value);
            break;
        }
        default:
            break;
        }
    }

    if (command.tag == TxLog)
        writeDeviceLog(value);
}

void OfdWorker::connectChannel(int n, const QByteArray &value)
{
    OfdChannel &channel = channels[n];
    if (channel.worker->isActive()) {
        // A restart: the ending connection is not a loss for the device.
        channel.worker->markRestart();
        channel.thread->quit();
        channel.thread->wait();
    } else if (channel.thread->isRunning()) {
        // Still closing after a loss or a close: it must end before it can
        // start again, or the start would be ignored.
        channel.thread->quit();
        channel.thread->wait();
    }
    channel.lost = false;
    channel.ended = false;

    const int zero = value.indexOf('\0');
    const QString host = QString::fromUtf8(zero < 0 ? value : value.left(zero));
    channel.worker->setHost(host);
    ofdlog::info(log, QStringLiteral("Connect to %1:%2").arg(host).arg(channel.worker->port()));
    channel.thread->start(QThread::InheritPriority);
}

void OfdWorker::closeChannel(int n)
{
    OfdChannel &channel = channels[n];
    if (n == 0)
        channel.worker->markClosing();
    channel.thread->quit();
    channel.thread->wait();
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
    sendCommand(TlvCommand(RxRequestVersion, QByteArray()));
    restartVersionTimer();
}

void OfdWorker::restartVersionTimer()
{
    // Restarting the one timer has the effect of replacing it, without
    // deleting a timer from inside its own expiry.
    if (!versionTimer) {
        versionTimer = new QTimer(this);
        connect(versionTimer, &QTimer::timeout, this, &OfdWorker::sendVersionRequest);
    }
    versionTimer->setInterval(keepAliveInterval.load());
    versionTimer->start();
}
