#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QObject>
#include <QString>

#include "core/log.h"
#include "core/repeatedfailure.h"

#include <log4cxx/logger.h>

#include <functional>

class QTcpSocket;
class QTimer;

// One TCP connection at a time to an OFD server, for one channel of an
// OfdWorker, living on that worker's thread. Nothing here blocks: look-up,
// connect and close run on signals and timers. Every connection is its own
// socket; when a connection ends or is replaced, the bytes it received and
// not yet handed out are dropped with it, and bytes written for it go to
// its server or nowhere.
class TcpWorker : public QObject
{
    Q_OBJECT
public:
    enum ConnectionState { Connected = 0, Disconnected = 1 };
    Q_ENUM(ConnectionState)

    // Above this many buffered bytes the socket is no longer read, so a
    // server that sends faster than the device takes is slowed by TCP.
    static constexpr qsizetype kReadLimit = 1024 * 1024;
    // Bytes for the server that the socket may hold beyond what the system
    // took; more means the server does not read: the connection is dropped.
    static constexpr qsizetype kWriteLimit = 4 * 1024 * 1024;

    explicit TcpWorker(const QString &name, QObject *parent = nullptr);
    ~TcpWorker() override;

    void setHost(const QString &host) { host_ = host; }
    QString host() const { return host_; }
    void setPort(quint16 port) { port_ = port; }
    quint16 port() const { return port_; }

    // Starts a connection to host() and port(). One made or being made
    // before ends silently: its unread bytes are dropped, its unsent bytes
    // still go to its own server within the drain limit.
    void open();
    // Ends the connection as the device asked: outstanding writes first
    // (within the drain limit), then the disconnect; Disconnected follows.
    // An attempt still in progress is cancelled and reported the same way.
    void close();
    // Ends the connection without a report and drops its unread bytes.
    void discard();
    // Writes for the current connection (held back while it is being made).
    // False when there is no connection or the write failed; a failure ends
    // the connection with an ERROR and one Disconnected.
    bool write(const QByteArray &data);

    QByteArray read(int maximum);
    bool hasData() const { return !readBuffer.isEmpty(); }
    qsizetype bufferedSize() const { return readBuffer.size(); }
    // Bytes written and not yet taken by the system.
    qint64 bytesToWrite() const;
    // A connection is being made or is up.
    bool isLive() const { return phase != Phase::Idle; }

    // Limits, for tests: one connection attempt, the wait for outstanding
    // writes at close, buffered bytes from and to the server.
    void setConnectTimeout(int ms) { connectTimeout = ms; }
    void setDrainTimeout(int ms) { drainTimeout = ms; }
    void setReadLimit(qsizetype bytes) { readLimit = bytes; }
    void setWriteLimit(qsizetype bytes) { writeLimit = bytes; }

    // Host look-up, replaceable for tests: calls done with the result, at
    // once or later on this thread. A result that arrives after the
    // attempt it was for has ended is ignored.
    using Resolver = std::function<void(const QString &host, std::function<void(const QHostInfo &)> done)>;
    void setResolver(Resolver resolver) { resolve = std::move(resolver); }

    static QString stateName(int state);

    // The accounting of the connection made last, counted from open():
    // bytes the system's socket took, bytes read from it, bytes written but
    // not yet acknowledged by the server (as last seen), the server's
    // address once connected and how the connection ended.
    qint64 sentCount() const { return sent; }
    qint64 readCount() const { return received; }
    qint64 unackedCount() const { return unacked; }
    QString peer() const { return peerText; }
    QString endCause() const { return endCauseText; }
    bool isResolving() const { return phase == Phase::LookingUp; }
    bool isDraining() const { return phase == Phase::Draining; }
    // Failed connects to the same server, told as one episode.
    const RepeatedFailure &connectTrouble() const { return trouble; }

signals:
    void connectionStateChanged(TcpWorker::ConnectionState state);
    // New bytes from the server are buffered.
    void dataReceived();
    // The look-up is done; addresses are being tried.
    void resolved();
    // Bytes went to the socket or came from it.
    void trafficMoved();
    // A connect failure episode began, goes on (attempts > 0) or ended (0).
    void troubleChanged(const QString &text, int attempts, qint64 sinceMs);

private:
    enum class Phase {
        Idle,       // no connection: none asked for, or the last one ended
        LookingUp,  // the host look-up runs
        Connecting, // an attempt on addresses[nextAddress - 1] runs under connectTimer
        Connected,  // the socket is up; bytes flow both ways
        Draining    // closed by the device: unsent bytes leave, then the disconnect
    };

    void onLookedUp(const QHostInfo &info);
    void tryNextAddress();
    void onSocketConnected();
    void onSocketError(QAbstractSocket::SocketError error);
    void onAttemptTimeout();
    void onReadyRead();
    // Moves what the socket holds into readBuffer while it is within limit;
    // returns whether anything came.
    bool takeFromSocket(qsizetype limit);
    void onStateChanged(QAbstractSocket::SocketState state);
    void onBytesWritten(qint64 bytes);
    void finishClose();
    void fail(const QString &error);
    void endAttempt();
    void retire(QTcpSocket *old, bool keepWrites);
    bool writeNow(const QByteArray &data);
    void report(ConnectionState state);
    void sampleUnacked();
    void connectFailed(const QString &why);
    void logConnectError(const QString &text);

    Phase phase = Phase::Idle;
    QTcpSocket *socket = nullptr;
    QByteArray readBuffer;
    bool readThrottled = false;
    bool resumeQueued = false;
    QByteArray earlyWrites;
    QString host_;
    quint16 port_ = 0;
    QList<QHostAddress> addresses;
    int nextAddress = 0;
    QString attemptAddress;
    int lookupId = -1;
    quint64 generation = 0;
    QTimer *connectTimer;
    QTimer *drainTimer;
    QTimer *drainLogTimer;
    int connectTimeout = 10000;
    int drainTimeout = 10000;
    qsizetype readLimit = kReadLimit;
    qsizetype writeLimit = kWriteLimit;
    Resolver resolve;
    Log log;
    qint64 sent = 0;
    qint64 received = 0;
    qint64 unacked = 0;
    QString peerText;
    QString endCauseText;
    bool socketFailed = false;
    RepeatedFailure trouble;
    QString troubleServer;
};
