#include "ofd/tcpworker.h"

#include "core/hexdump.h"
#include "core/log.h"

#include <QMetaType>
#include <QTcpSocket>
#include <QTimer>

#include <limits>
#include <utility>

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace {
// Bytes Qt itself may hold for the socket beyond our read buffer.
constexpr qint64 kSocketBufferSize = 64 * 1024;
constexpr qint64 kReadChunk = 64 * 1024;
// How long a disconnecting socket may linger before it is aborted.
constexpr int kDisconnectWait = 500;
constexpr int kDrainLogPeriod = 1000;

// Ends a socket at once, without it calling the worker back.
void abandon(QTcpSocket *old, QObject *worker)
{
    if (!old)
        return;
    QObject::disconnect(old, nullptr, worker, nullptr);
    old->abort();
    old->deleteLater();
}
} // namespace

TcpWorker::TcpWorker(const QString &name, QObject *parent)
    : QObject(parent)
    , connectTimer(new QTimer(this))
    , drainTimer(new QTimer(this))
    , drainLogTimer(new QTimer(this))
{
    setObjectName(name);
    log = Log(name);
    qRegisterMetaType<TcpWorker::ConnectionState>("TcpWorker::ConnectionState");
    connectTimer->setSingleShot(true);
    drainTimer->setSingleShot(true);
    drainLogTimer->setInterval(kDrainLogPeriod);
    connect(connectTimer, &QTimer::timeout, this, &TcpWorker::onAttemptTimeout);
    connect(drainTimer, &QTimer::timeout, this, &TcpWorker::finishClose);
    connect(drainLogTimer, &QTimer::timeout, this, [this] {
        log.info(QStringLiteral("Wait for queue empty (%1)").arg(bytesToWrite()));
    });
}

TcpWorker::~TcpWorker()
{
    if (lookupId >= 0)
        QHostInfo::abortHostLookup(lookupId);
    // Sockets are children: they go with us, without calling back.
    if (socket)
        QObject::disconnect(socket, nullptr, this, nullptr);
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

qint64 TcpWorker::bytesToWrite() const
{
    return earlyWrites.size() + (socket ? socket->bytesToWrite() : 0);
}

void TcpWorker::report(ConnectionState state)
{
    emit connectionStateChanged(state);
}

void TcpWorker::sampleUnacked()
{
    // Only a connected socket has a queue worth reading; a gone one keeps
    // the last value seen.
    if (!socket || socket->socketDescriptor() < 0)
        return;
    int queued = 0;
    if (::ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &queued) == 0)
        unacked = queued;
}

void TcpWorker::logConnectError(const QString &text)
{
    // Within a run of failures to the same server only the hourly reminder speaks.
    const QString server = QStringLiteral("%1:%2").arg(host_).arg(port_);
    if (!trouble.failing() || troubleServer != server)
        log.error(text);
}

void TcpWorker::connectFailed(const QString &why)
{
    endCauseText = QStringLiteral("connect-failed");
    const QString server = QStringLiteral("%1:%2").arg(host_).arg(port_);
    if (troubleServer != server) {
        trouble = RepeatedFailure();
        troubleServer = server;
    }
    const RepeatedFailure::Say say = trouble.fail(why);
    if (say == RepeatedFailure::Say::Reminder)
        log.error(trouble.reminderText(QStringLiteral("Connect to %1").arg(server)));
    emit troubleChanged(QStringLiteral("Connect to %1 failed: %2").arg(server, why), trouble.attempts(), trouble.since());
}

void TcpWorker::open()
{
    discard();
    sent = received = unacked = 0;
    peerText.clear();
    endCauseText.clear();
    socketFailed = false;
    const quint64 attempt = ++generation;
    phase = Phase::LookingUp;
    auto done = [this, attempt](const QHostInfo &info) {
        if (attempt != generation || phase != Phase::LookingUp)
            return;
        lookupId = -1;
        onLookedUp(info);
    };
    if (resolve)
        resolve(host_, done);
    else
        lookupId = QHostInfo::lookupHost(host_, this, done);
}

void TcpWorker::onLookedUp(const QHostInfo &info)
{
    if (info.error() != QHostInfo::NoError) {
        logConnectError(QStringLiteral("Lookup failed: %1").arg(info.errorString()));
        phase = Phase::Idle;
        connectFailed(info.errorString());
        report(Disconnected);
        return;
    }
    addresses = info.addresses();
    nextAddress = 0;
    phase = Phase::Connecting;
    emit resolved();
    tryNextAddress();
}

void TcpWorker::tryNextAddress()
{
    if (nextAddress >= addresses.size()) {
        phase = Phase::Idle;
        earlyWrites.clear();
        connectFailed(QStringLiteral("no address answered"));
        report(Disconnected);
        return;
    }
    const QHostAddress address = addresses.at(nextAddress++);
    attemptAddress = address.toString();
    log.info(QStringLiteral("Found address: %1").arg(attemptAddress));

    // A fresh socket per attempt: nothing of a failed one can reach the next.
    socket = new QTcpSocket(this);
    socket->setReadBufferSize(kSocketBufferSize);
    connect(socket, &QTcpSocket::connected, this, &TcpWorker::onSocketConnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &TcpWorker::onSocketError);
    connect(socket, &QTcpSocket::readyRead, this, &TcpWorker::onReadyRead);
    connect(socket, &QTcpSocket::stateChanged, this, &TcpWorker::onStateChanged);
    connect(socket, &QTcpSocket::bytesWritten, this, &TcpWorker::onBytesWritten);
    connectTimer->start(connectTimeout);
    socket->connectToHost(address, port_, QIODevice::ReadWrite);
}

void TcpWorker::onAttemptTimeout()
{
    if (phase != Phase::Connecting)
        return;
    logConnectError(QStringLiteral("Connect to %1 failed").arg(attemptAddress));
    endAttempt();
    tryNextAddress();
}

void TcpWorker::endAttempt()
{
    connectTimer->stop();
    abandon(std::exchange(socket, nullptr), this);
}

void TcpWorker::onSocketConnected()
{
    if (sender() != socket || phase != Phase::Connecting)
        return;
    connectTimer->stop();
    log.info(QStringLiteral("Connect to %1 established").arg(attemptAddress));
    if (trouble.succeed()) {
        log.info(trouble.endText(QStringLiteral("Connect to %1").arg(troubleServer), QStringLiteral("established"),
                                          QStringLiteral("failing")));
        emit troubleChanged(QString(), 0, 0);
    }
    peerText = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    phase = Phase::Connected;
    report(Connected);
    if (phase == Phase::Connected && !earlyWrites.isEmpty()) {
        const QByteArray data = earlyWrites;
        earlyWrites.clear();
        writeNow(data);
    }
    if (phase == Phase::Connected && socket->bytesAvailable() > 0)
        onReadyRead();
}

void TcpWorker::onSocketError(QAbstractSocket::SocketError error)
{
    if (sender() != socket)
        return;
    if (phase == Phase::Connecting) {
        logConnectError(QStringLiteral("Connect to %1 failed").arg(attemptAddress));
        // Not from inside the socket's own signal: the attempt ends and the
        // next begins once the socket is done reporting.
        const quint64 attempt = generation;
        QTimer::singleShot(0, this, [this, attempt] {
            if (attempt == generation && phase == Phase::Connecting && socket
                && socket->state() != QAbstractSocket::ConnectedState) {
                endAttempt();
                tryNextAddress();
            }
        });
        connectTimer->stop();
        QObject::disconnect(socket, nullptr, this, nullptr);
        return;
    }
    if (phase != Phase::Connected && phase != Phase::Draining)
        return;
    sampleUnacked();
    if (error != QAbstractSocket::RemoteHostClosedError)
        socketFailed = true;
    if (socket->bytesToWrite() > 0)
        log.error(QStringLiteral("tcp write failed: %1 (%2 bytes not sent)")
                               .arg(socket->errorString())
                               .arg(socket->bytesToWrite()));
    else if (error != QAbstractSocket::RemoteHostClosedError)
        log.error(QStringLiteral("Socket error: %1").arg(socket->errorString()));
    // The end itself comes with the state change to unconnected.
}

void TcpWorker::onReadyRead()
{
    resumeQueued = false;
    if (!socket || (phase != Phase::Connected && phase != Phase::Draining))
        return;
    sampleUnacked();
    const bool got = takeFromSocket(readLimit);
    // Whatever is left stays with the socket; read() resumes us.
    readThrottled = readBuffer.size() > readLimit;
    if (got && phase == Phase::Connected)
        emit dataReceived();
}

bool TcpWorker::takeFromSocket(qsizetype limit)
{
    bool got = false;
    while (readBuffer.size() <= limit && socket->bytesAvailable() > 0) {
        const QByteArray chunk = socket->read(kReadChunk);
        if (chunk.isEmpty())
            break;
        if (log.logger()->isInfoEnabled())
            log.info(QStringLiteral("tcp read: ") + hexDump(chunk));
        readBuffer.append(chunk);
        received += chunk.size();
        got = true;
    }
    if (got)
        emit trafficMoved();
    return got;
}

QByteArray TcpWorker::read(int maximum)
{
    if (maximum <= 0 || readBuffer.isEmpty())
        return {};
    const QByteArray chunk = readBuffer.left(maximum);
    readBuffer.remove(0, chunk.size());
    if (readThrottled && readBuffer.size() <= readLimit && !resumeQueued) {
        readThrottled = false;
        resumeQueued = true;
        // Not from inside the caller's handling: our dataReceived would
        // call it back.
        QMetaObject::invokeMethod(this, &TcpWorker::onReadyRead, Qt::QueuedConnection);
    }
    return chunk;
}

void TcpWorker::onStateChanged(QAbstractSocket::SocketState state)
{
    if (sender() != socket || (phase != Phase::Connected && phase != Phase::Draining))
        return;
    log.info(QStringLiteral("Change connection state to %1").arg(stateName(state)));
    if (state != QAbstractSocket::UnconnectedState)
        return;
    if (phase == Phase::Draining) {
        finishClose();
        return;
    }
    // Bytes the socket still holds belong to the device: keep them all,
    // over the limit if need be, before the end is reported.
    takeFromSocket(std::numeric_limits<qsizetype>::max());
    log.info(QStringLiteral("connection lost"));
    endCauseText = socketFailed ? QStringLiteral("socket-error") : QStringLiteral("server-close");
    phase = Phase::Idle;
    retire(socket, false);
    socket = nullptr;
    report(Disconnected);
}

void TcpWorker::onBytesWritten(qint64 bytes)
{
    if (sender() != socket)
        return;
    sent += bytes;
    sampleUnacked();
    emit trafficMoved();
    if (phase != Phase::Draining)
        return;
    if (socket->bytesToWrite() == 0)
        finishClose();
}

bool TcpWorker::write(const QByteArray &data)
{
    switch (phase) {
    case Phase::LookingUp:
    case Phase::Connecting:
        // Bytes for the connection being made: they go once it is up.
        if (earlyWrites.size() + data.size() > writeLimit) {
            log.error(QStringLiteral("Send queue over %1 bytes, connection dropped").arg(writeLimit));
            discard();
            endCauseText = QStringLiteral("socket-error");
            report(Disconnected);
            return false;
        }
        earlyWrites.append(data);
        log.info(QStringLiteral("New queue size = %1").arg(earlyWrites.size()));
        return true;
    case Phase::Connected:
        return writeNow(data);
    case Phase::Idle:
    case Phase::Draining:
        break;
    }
    log.error(QStringLiteral("Socket is NULL"));
    return false;
}

bool TcpWorker::writeNow(const QByteArray &data)
{
    // The socket may end inside write() or flush(); the end is then handled
    // and reported by onStateChanged, and this connection is over.
    QTcpSocket *const current = socket;
    log.info(QStringLiteral("New queue size = %1").arg(current->bytesToWrite() + data.size()));
    const qint64 written = current->write(data);
    if (socket != current)
        return false;
    if (written != data.size()) {
        fail(QStringLiteral("tcp write failed: %1").arg(current->errorString()));
        return false;
    }
    current->flush();
    if (socket != current)
        return false;
    if (log.logger()->isInfoEnabled())
        log.info(QStringLiteral("tcp write: ") + hexDump(data));
    const qint64 queued = current->bytesToWrite();
    log.info(QStringLiteral("New queue size = %1").arg(queued));
    if (queued > writeLimit) {
        fail(QStringLiteral("Send queue over %1 bytes, connection dropped").arg(writeLimit));
        return false;
    }
    return true;
}

void TcpWorker::fail(const QString &error)
{
    log.error(error);
    sampleUnacked();
    endCauseText = QStringLiteral("socket-error");
    phase = Phase::Idle;
    abandon(std::exchange(socket, nullptr), this);
    report(Disconnected);
}

void TcpWorker::close()
{
    switch (phase) {
    case Phase::Idle:
    case Phase::Draining:
        return;
    case Phase::LookingUp:
    case Phase::Connecting:
        log.info(QStringLiteral("Connection canceled"));
        discard();
        endCauseText = QStringLiteral("device-close");
        report(Disconnected);
        return;
    case Phase::Connected:
        break;
    }
    const qint64 outstanding = socket->bytesToWrite();
    if (outstanding <= 0) {
        finishClose();
        return;
    }
    phase = Phase::Draining;
    log.info(QStringLiteral("Wait for queue empty (%1)").arg(outstanding));
    drainTimer->start(drainTimeout);
    drainLogTimer->start();
}

void TcpWorker::finishClose()
{
    drainTimer->stop();
    drainLogTimer->stop();
    if (phase != Phase::Connected && phase != Phase::Draining)
        return;
    sampleUnacked();
    endCauseText = QStringLiteral("device-close");
    phase = Phase::Idle;
    readBuffer.clear();
    retire(socket, false);
    socket = nullptr;
    report(Disconnected);
}

void TcpWorker::discard()
{
    ++generation;
    if (lookupId >= 0) {
        QHostInfo::abortHostLookup(lookupId);
        lookupId = -1;
    }
    connectTimer->stop();
    drainTimer->stop();
    drainLogTimer->stop();
    const Phase was = phase;
    phase = Phase::Idle;
    readBuffer.clear();
    readThrottled = false;
    earlyWrites.clear();
    addresses.clear();
    sampleUnacked();
    QTcpSocket *old = std::exchange(socket, nullptr);
    if (was == Phase::Connected || was == Phase::Draining)
        retire(old, true);
    else
        abandon(old, this);
}

void TcpWorker::retire(QTcpSocket *old, bool keepWrites)
{
    if (!old)
        return;
    QObject::disconnect(old, nullptr, this, nullptr);
    if (keepWrites && old->state() == QAbstractSocket::ConnectedState && old->bytesToWrite() > 0) {
        // Bytes written for this connection still go to its server, on
        // their own: nothing of it reaches us any more.
        log.info(QStringLiteral("Wait for queue empty (%1)").arg(old->bytesToWrite()));
        connect(old, &QTcpSocket::bytesWritten, old, [old] {
            if (old->bytesToWrite() == 0)
                old->disconnectFromHost();
        });
        connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
        connect(old, &QTcpSocket::errorOccurred, old, &QObject::deleteLater);
        QTimer::singleShot(drainTimeout, old, [old] {
            old->abort();
            old->deleteLater();
        });
        return;
    }
    if (old->state() != QAbstractSocket::UnconnectedState) {
        log.info(QStringLiteral("socket close"));
        // Past the drain limit what is left goes with the connection.
        if (old->bytesToWrite() > 0)
            old->abort();
        else
            old->disconnectFromHost();
    }
    if (old->state() == QAbstractSocket::UnconnectedState) {
        old->deleteLater();
        return;
    }
    connect(old, &QTcpSocket::disconnected, old, &QObject::deleteLater);
    QTimer::singleShot(kDisconnectWait, old, [old] {
        old->abort();
        old->deleteLater();
    });
}
