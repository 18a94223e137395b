#include "ofd/tcpworker.h"

#include "core/eventwait.h"
#include "core/hexdump.h"
#include "ofd/ofdlog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QMetaType>
#include <QTcpSocket>
#include <QThread>

namespace {
// Bytes Qt itself may hold for the socket beyond our read buffer.
constexpr qint64 kSocketBufferSize = 64 * 1024;
constexpr qint64 kReadChunk = 64 * 1024;
}

TcpWorker::TcpWorker(const QString &name, QObject *parent)
    : QObject(parent)
{
    setObjectName(name);
    log = ofdlog::logger(name);
    qRegisterMetaType<TcpWorker::ConnectionState>("TcpWorker::ConnectionState");
}

TcpWorker::~TcpWorker()
{
    // Outstanding writes can only still arrive while our own thread runs.
    shutdown(QThread::currentThread() == thread());
    delete socket;
}

QString TcpWorker::stateName(int state)
{
    switch (state) {
    case QAbstractSocket::UnconnectedState: return QStringLiteral("UnconnectedState");
    case QAbstractSocket::HostLookupState: return QStringLiteral("HostLookupState");
    case QAbstractSocket::ConnectingState: return QStringLiteral("ConnectingState");
    case QAbstractSocket::ConnectedState: return QStringLiteral("ConnectedState");
    case QAbstractSocket::BoundState: return QStringLiteral("BoundState");
    case QAbstractSocket::ListeningState: return QStringLiteral("ListeningState");
    case QAbstractSocket::ClosingState: return QStringLiteral("ClosingState");
    default: return QStringLiteral("???");
    }
}

void TcpWorker::setHost(const QString &host)
{
    QMutexLocker locker(&hostLock);
    host_ = host;
}

QString TcpWorker::host() const
{
    QMutexLocker locker(&hostLock);
    return host_;
}

void TcpWorker::setPort(quint16 port)
{
    port_.store(port);
}

quint16 TcpWorker::port() const
{
    return port_.load();
}

void TcpWorker::markClosing()
{
    silent.store(false);
    closing.store(true);
}

void TcpWorker::markRestart()
{
    silent.store(true);
    closing.store(true);
}

void TcpWorker::addPending(int count)
{
    const int now = pending.fetch_add(count) + count;
    ofdlog::info(log, QStringLiteral("New queue size = %1").arg(now));
}

QByteArray TcpWorker::read(int maximum)
{
    if (maximum <= 0)
        return {};
    QMutexLocker locker(&lock);
    if (readBuffer.isEmpty())
        return {};
    const QByteArray chunk = readBuffer.left(maximum);
    readBuffer.remove(0, chunk.size());
    if (readThrottled && readBuffer.size() <= readLimit.load()) {
        readThrottled = false;
        // The socket belongs to our own thread: resume reading there.
        QMetaObject::invokeMethod(this, &TcpWorker::onReadyRead, Qt::QueuedConnection);
    }
    return chunk;
}

bool TcpWorker::hasData() const
{
    QMutexLocker locker(&lock);
    return !readBuffer.isEmpty();
}

qsizetype TcpWorker::bufferedSize() const
{
    QMutexLocker locker(&lock);
    return readBuffer.size();
}

void TcpWorker::reportDisconnected()
{
    live.store(false);
    emit connectionStateChanged(Disconnected);
}

void TcpWorker::open()
{
    QMutexLocker locker(&lock);
    closing.store(false);
    silent.store(false);
    live.store(true);
    readThrottled = false;
    earlyWrites.clear();

    QTcpSocket *old = socket;
    if (old)
        QObject::disconnect(old, nullptr, nullptr, nullptr);
    socket = new QTcpSocket();
    socket->setReadBufferSize(kSocketBufferSize);
    delete old;

    const QString name = host();
    const QHostInfo info = resolve ? resolve(name) : QHostInfo::fromName(name);
    if (info.error() != QHostInfo::NoError) {
        ofdlog::error(log, QStringLiteral("Lookup failed: %1").arg(info.errorString()));
        reportDisconnected();
        return;
    }

    connecting = true;
    const QList<QHostAddress> addresses = info.addresses();
    for (const QHostAddress &address : addresses) {
        // Lets a close request and early writes reach us between attempts.
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (closing.load()) {
            connecting = false;
            earlyWrites.clear();
            ofdlog::info(log, QStringLiteral("Connection canceled"));
            reportDisconnected();
            return;
        }
        const QString text = address.toString();
        ofdlog::info(log, QStringLiteral("Found address: %1").arg(text));
        socket->connectToHost(address, port(), QIODevice::ReadWrite);
        if (socket->waitForConnected(connectTimeout.load())) {
            ofdlog::info(log, QStringLiteral("Connect to %1 established").arg(text));
            break;
        }
        ofdlog::error(log, QStringLiteral("Connect to %1 failed").arg(text));
        // Abandon the attempt before the next address is tried.
        socket->abort();
    }
    connecting = false;

    readBuffer.clear();
    if (socket->state() != QAbstractSocket::UnconnectedState) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        pending.store(0);
        emit connectionStateChanged(Connected);
        connect(socket, &QTcpSocket::readyRead, this, &TcpWorker::onReadyRead);
        connect(socket, &QTcpSocket::stateChanged, this, &TcpWorker::onStateChanged);
        if (!earlyWrites.isEmpty()) {
            const QByteArray data = earlyWrites;
            earlyWrites.clear();
            socket->write(data);
            socket->flush();
            ofdlog::info(log, QStringLiteral("tcp write: ") + hexDump(data));
        }
    } else {
        earlyWrites.clear();
        reportDisconnected();
    }
}

void TcpWorker::close()
{
    shutdown(true);
}

void TcpWorker::shutdown(bool waitForWrites)
{
    // Set before taking the lock: a running open() sees it between addresses.
    closing.store(true);
    QMutexLocker locker(&lock);

    if (waitForWrites) {
        const int limit = drainTimeout.load();
        QElapsedTimer stopwatch;
        stopwatch.start();
        while (pending.load() > 0 && stopwatch.elapsed() < limit) {
            ofdlog::info(log, QStringLiteral("Wait for queue empty (%1)").arg(pending.load()));
            // Queued writes run while we wait; stop as soon as they are done.
            const qint64 end = qMin<qint64>(stopwatch.elapsed() + 1000, limit);
            while (pending.load() > 0 && stopwatch.elapsed() < end)
                sleepProcessingEvents(1);
        }
    }

    if (socket && socket->state() != QAbstractSocket::UnconnectedState) {
        ofdlog::info(log, QStringLiteral("socket close"));
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(500);
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->abort();
        if (!silent.load())
            reportDisconnected();
    }
    live.store(false);
}

void TcpWorker::write(QByteArray data)
{
    if (!socket) {
        ofdlog::error(log, QStringLiteral("Socket is NULL"));
        return;
    }
    if (connecting) {
        earlyWrites.append(data);
    } else {
        socket->write(data);
        socket->flush();
        if (log->isInfoEnabled())
            ofdlog::info(log, QStringLiteral("tcp write: ") + hexDump(data));
    }
    const int now = pending.fetch_sub(int(data.size())) - int(data.size());
    ofdlog::info(log, QStringLiteral("New queue size = %1").arg(now));
}

void TcpWorker::appendReceived(const QByteArray &data)
{
    QMutexLocker locker(&lock);
    if (log->isInfoEnabled())
        ofdlog::info(log, QStringLiteral("tcp read: ") + hexDump(data));
    readBuffer.append(data);
}

void TcpWorker::onReadyRead()
{
    if (!socket)
        return;
    QMutexLocker locker(&lock);
    const qsizetype limit = readLimit.load();
    while (readBuffer.size() <= limit) {
        const QByteArray chunk = socket->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        appendReceived(chunk);
    }
    // Whatever is left stays with the socket; read() resumes us.
    if (readBuffer.size() > limit)
        readThrottled = true;
}

void TcpWorker::onStateChanged(QAbstractSocket::SocketState state)
{
    ofdlog::info(log, QStringLiteral("Change connection state to %1").arg(stateName(state)));
    if (state == QAbstractSocket::UnconnectedState) {
        // Bytes the socket still holds belong to the device: keep them all,
        // over the limit if need be, before the end is reported.
        if (socket) {
            QMutexLocker locker(&lock);
            for (;;) {
                const QByteArray chunk = socket->read(kReadChunk);
                if (chunk.isEmpty())
                    break;
                appendReceived(chunk);
            }
        }
        ofdlog::info(log, QStringLiteral("connection lost"));
        if (!silent.load())
            reportDisconnected();
        else
            live.store(false);
    } else if (state == QAbstractSocket::ConnectedState) {
        emit connectionStateChanged(Connected);
    }
}
