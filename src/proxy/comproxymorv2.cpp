#include "proxy/comproxymorv2.h"

#include "core/eventwait.h"
#include "core/hexdump.h"
#include "proxy/morv2frame.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSignalBlocker>
#include <QThread>

#include <log4cxx/logger.h>

#include <unistd.h>

namespace {

constexpr char kOfdMarker = char(0xDA);
constexpr int kAppBaudRate = 115200;

// Limits of the handshake.
constexpr int kEnqTries = 5;          // ENQs in one series before giving up
constexpr int kMaxSeries = 100;       // series ended by a conflict or a stray byte
constexpr int kFrameTries = 10;       // transmissions of one frame
constexpr int kStrayBytes = 100;      // stray bytes tolerated while waiting
constexpr int kMaxRestarts = 10;      // repeats and failed receptions of one frame

// Line numbers that name each way an exchange fails, as operators know them.
constexpr int kErrStrayBeforeEnq = 384;
constexpr int kErrNoFrame = 421;
constexpr int kErrEnqRepeated = 531;
constexpr int kErrReception = 537;
constexpr int kErrFrameRepeated = 543;
constexpr int kErrSendGivenUp = 548;

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
    stop();
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

void ComProxyMorv2::start()
{
    if (devPort)
        return;   // started already
    devPort = new QSerialPort;
    appPort = new QSerialPort;
    connect(devPort, &QSerialPort::errorOccurred, this, &ComProxyMorv2::devError);
    connect(appPort, &QSerialPort::errorOccurred, this, &ComProxyMorv2::appError);
    relayLoop();
    // Let go of the devices now rather than when the object is deleted.
    for (QSerialPort *p : {devPort, appPort}) {
        const QSignalBlocker blocker(p);
        p->close();
    }
    emit finished();
}

void ComProxyMorv2::stop()
{
    stopRequested = true;
    // On our own thread a cycle may be holding the lock further up the
    // stack (a queued stop() run from inside a wait): waiting would hang.
    if (QThread::currentThread() == thread())
        return;
    cycleMutex.lock();
    cycleMutex.unlock();
}

void ComProxyMorv2::onOfdDataReceived(QByteArray data)
{
    QMutexLocker lock(&ofdMutex);
    ofdQueue.append(data);
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
    QMutexLocker lock(side == Side::Dev ? &devMutex : &appMutex);
    QSerialPort *p = port(side);
    // A port whose far end has gone keeps reporting the same error for as
    // long as it stays open; once it is closed, the loop reopens it.
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
    const QSignalBlocker blocker(p);
    p->close();
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
    QMutexLocker lock(side == Side::Dev ? &devMutex : &appMutex);
    QSerialPort *p = port(side);
    const QSignalBlocker blocker(p);
    p->close();
    const PortSettings &settings = side == Side::Dev ? entry.dev : entry.app;
    logInfo(QStringLiteral("Open %1...").arg(settings.port));
    p->setPortName(settings.port);
    p->setBaudRate(side == Side::Dev ? settings.baudrate : kAppBaudRate);
    if (!p->open(QIODevice::ReadWrite)) {
        logError(p->errorString());
        return false;
    }
    // Cleared before "OK" is written: whatever comes after the line is kept.
    p->clear();
    logInfo(QStringLiteral("OK"));
    return true;
}

void ComProxyMorv2::relayLoop()
{
    int delay = m_timing.cycleDelay;
    while (!stopRequested) {
        QMutexLocker cycle(&cycleMutex);
        sleepProcessingEvents(delay);
        if (stopRequested)
            break;

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
            delay = m_timing.retryDelay;
            continue;
        }
        appReopen = false;

        const QByteArray fromApp = exchange(Side::App, QByteArray());
        if (!fromApp.isEmpty())
            route(Side::App, fromApp);

        const QByteArray fromDev = exchange(Side::Dev, QByteArray());
        if (!fromDev.isEmpty())
            route(Side::Dev, fromDev);

        for (;;) {
            QByteArray answer;
            {
                QMutexLocker lock(&ofdMutex);
                if (ofdQueue.isEmpty())
                    break;
                answer = ofdQueue.takeFirst();
            }
            const QByteArray built = ofdPrefix + kOfdMarker + answer;
            logInfo(QStringLiteral("ofd -> dev | ") + hexDump(built));
            const QByteArray yielded = exchange(Side::Dev, built);
            if (!yielded.isEmpty())
                route(Side::Dev, yielded);
        }
        delay = m_timing.cycleDelay;
    }
}

void ComProxyMorv2::route(Side from, QByteArray data)
{
    // Sending may hand back a frame the peer began instead of taking ours;
    // it is passed on like any other, so keep going until nothing comes back.
    while (!data.isEmpty()) {
        if (from == Side::App) {
            ofdPrefix = data.left(2);
            logInfo(QStringLiteral("app -> dev | ") + hexDump(data));
            data = exchange(Side::Dev, data);
            from = Side::Dev;
        } else if (data.at(0) == kOfdMarker) {
            logInfo(QStringLiteral("dev -> ofd | ") + hexDump(data));
            emit portDataReceived(data.mid(1));
            return;
        } else {
            logInfo(QStringLiteral("dev -> app | ") + hexDump(data));
            data = exchange(Side::App, data);
            from = Side::App;
        }
    }
}

QByteArray ComProxyMorv2::exchange(Side side, const QByteArray &request)
{
    try {
        if (!request.isEmpty())
            return sendFrame(side, request);
        return receiveFrame(side, false);
    } catch (const ExchangeException &e) {
        logError(QString::fromStdString(e.what()));
    } catch (const PortClosed &) {
        // The error slot has said why; only a frame under way is worth a word.
        if (!request.isEmpty())
            logWarn(QStringLiteral("%1 port closed, frame dropped | ").arg(QLatin1String(sideName(side)))
                    + hexDump(request));
    }
    return QByteArray();
}

QByteArray ComProxyMorv2::sendFrame(Side side, const QByteArray &request)
{
    const QByteArray frame = Morv2Frame::build(request);
    const auto giveUp = [&] {
        writeByte(side, Morv2Frame::EOT);
        throw ExchangeException(kErrSendGivenUp);
    };

    int series = 0;
    bool acknowledged = false;
    while (!acknowledged) {
        ++series;
        int tries = 1;
        bool newSeries = false;
        while (!acknowledged && !newSeries) {
            writeByte(side, Morv2Frame::ENQ);
            char answer = 0;
            if (readByte(side, m_timing.byteWait, &answer)) {
                if (answer == Morv2Frame::ACK) {
                    acknowledged = true;
                    break;
                }
                if (answer == Morv2Frame::ENQ) {
                    logError(QStringLiteral("Conflict"));
                    sleepProcessingEvents(side == Side::Dev ? m_timing.devConflictDelay
                                                            : m_timing.appConflictDelay);
                    if (series > kMaxSeries)
                        giveUp();
                    newSeries = true;
                    break;
                }
                if (answer != Morv2Frame::NAK) {
                    if (series > kMaxSeries)
                        giveUp();
                    newSeries = true;
                    break;
                }
                sleepProcessingEvents(m_timing.nakDelay);
            }
            if (++tries > kEnqTries)
                giveUp();
        }
    }

    for (int tries = 1;; ++tries) {
        if (tries > kFrameTries)
            giveUp();
        writeFrame(side, frame);
        char answer = 0;
        if (!readByte(side, m_timing.byteWait, &answer))
            continue;
        if (answer == Morv2Frame::ACK) {
            writeByte(side, Morv2Frame::EOT);
            return QByteArray();
        }
        if (answer == Morv2Frame::ENQ && tries > 1) {
            // The peer most likely has our frame and moved on to its own.
            logWarn(QStringLiteral("%1 began a frame of its own, frame abandoned | ")
                        .arg(QLatin1String(sideName(side)))
                    + hexDump(request));
            return receiveFrame(side, true);
        }
    }
}

QByteArray ComProxyMorv2::receiveFrame(Side side, bool enqSeen)
{
    char byte = 0;
    if (!enqSeen) {
        for (int tries = 1;; ++tries) {
            if (tries > kStrayBytes)
                throw ExchangeException(kErrStrayBeforeEnq);
            if (!readByte(side, m_timing.enqWait, &byte))
                return QByteArray();
            if (byte == Morv2Frame::ENQ)
                break;
        }
    }

    int restarts = 0;
    writeByte(side, Morv2Frame::ACK);
    Morv2Frame frame;
    for (;;) {
        // Wait for STX; the peer may repeat its ENQ if it missed our ACK.
        bool gotStx = false;
        for (int tries = 1; !gotStx;) {
            if (!readByte(side, m_timing.frameWait, &byte))
                throw ExchangeException(kErrNoFrame);
            if (byte == Morv2Frame::ENQ) {
                if (++restarts > kMaxRestarts)
                    throw ExchangeException(kErrEnqRepeated);
                writeByte(side, Morv2Frame::ACK);
                tries = 1;
            } else if (byte == Morv2Frame::STX) {
                gotStx = true;
            } else if (++tries > kStrayBytes) {
                return QByteArray();
            }
        }

        // Take the frame; an STX after our ACK is the same frame again.
        for (;;) {
            frame.reset();
            bool complete = false;
            while (readByte(side, m_timing.byteWait, &byte)) {
                const Morv2Frame::Step step = frame.feed(byte);
                if (step == Morv2Frame::Step::End)
                    complete = true;
                if (step != Morv2Frame::Step::More)
                    break;
            }
            if (!complete || !readByte(side, m_timing.byteWait, &byte))
                break;
            if (!frame.checkMatches(byte)) {
                writeByte(side, Morv2Frame::NAK);
                break;
            }
            writeByte(side, Morv2Frame::ACK);
            if (!readByte(side, m_timing.byteWait, &byte) || byte == Morv2Frame::EOT)
                return frame.data();
            if (byte == Morv2Frame::STX) {
                if (++restarts > kMaxRestarts)
                    throw ExchangeException(kErrFrameRepeated);
                continue;
            }
            if (!readByte(side, m_timing.byteWait, &byte))
                return frame.data();
            break;
        }

        // Failed reception: wait for the peer to send the frame again.
        if (++restarts > kMaxRestarts)
            throw ExchangeException(kErrReception);
    }
}

void ComProxyMorv2::writeByte(Side side, char byte)
{
    writeFrame(side, QByteArray(1, byte));
}

void ComProxyMorv2::writeFrame(Side side, const QByteArray &bytes)
{
    QSerialPort *p = port(side);
    if (!p->isOpen())
        throw PortClosed();
    p->write(bytes);
    p->flush();
}

bool ComProxyMorv2::readByte(Side side, int timeout, char *byte)
{
    QSerialPort *p = port(side);
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!p->isOpen())
            throw PortClosed();
        if (p->read(byte, 1) == 1)
            return true;
        if (timer.elapsed() >= timeout)
            return false;
        ::usleep(1000);
    }
}
