#pragma once

#include <QAbstractSocket>
#include <QHostInfo>
#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>

#include <log4cxx/logger.h>

#include <atomic>
#include <functional>

class QTcpSocket;

// One TCP connection to an OFD server, living in a thread of its own: the
// thread's start runs open(), its end runs close(). The owner takes the
// server's bytes with read() from its own thread, in chunks it chooses.
class TcpWorker : public QObject
{
    Q_OBJECT
public:
    enum ConnectionState { Connected = 0, Disconnected = 1 };
    Q_ENUM(ConnectionState)

    // Above this many buffered bytes the socket is no longer read, so a
    // server that sends faster than the device takes is slowed by TCP.
    static constexpr qsizetype kReadLimit = 1024 * 1024;

    explicit TcpWorker(const QString &name, QObject *parent = nullptr);
    ~TcpWorker() override;

    void setHost(const QString &host);
    QString host() const;
    void setPort(quint16 port);
    quint16 port() const;

    bool isActive() const { return !closing.load(); }
    // A connection is being made or is up (false once its end was reported).
    bool isLive() const { return live.load(); }
    void markClosing();
    void markRestart();
    void addPending(int count);

    QByteArray read(int maximum);
    bool hasData() const;
    qsizetype bufferedSize() const;

    // Time limits, for tests: one connection attempt, and how long close()
    // waits for outstanding writes.
    void setConnectTimeout(int ms) { connectTimeout.store(ms); }
    void setDrainTimeout(int ms) { drainTimeout.store(ms); }
    // The read limit, for tests that cannot wait for a whole mebibyte.
    void setReadLimit(qsizetype bytes) { readLimit.store(bytes); }

    // Host look-up, replaceable for tests; blocking, in the worker's thread.
    using Resolver = std::function<QHostInfo(const QString &host)>;
    void setResolver(Resolver resolver) { resolve = std::move(resolver); }

    static QString stateName(int state);

signals:
    void connectionStateChanged(TcpWorker::ConnectionState state);

public slots:
    void open();
    void close();
    void write(QByteArray data);

private slots:
    void onReadyRead();
    void onStateChanged(QAbstractSocket::SocketState state);

private:
    void shutdown(bool waitForWrites);
    void appendReceived(const QByteArray &data);
    void reportDisconnected();

    QTcpSocket *socket = nullptr;
    mutable QRecursiveMutex lock;
    QByteArray readBuffer;
    bool readThrottled = false; // under lock
    mutable QMutex hostLock;
    QString host_;
    std::atomic<quint16> port_{0};
    std::atomic<bool> closing{false};
    std::atomic<bool> silent{false};
    std::atomic<int> pending{0};
    std::atomic<bool> live{false};
    std::atomic<int> connectTimeout{10000};
    std::atomic<int> drainTimeout{10000};
    std::atomic<qsizetype> readLimit{kReadLimit};
    // Writes that arrive while open() is still connecting wait for the
    // connection instead of going to a socket that is not yet open.
    bool connecting = false;
    QByteArray earlyWrites;
    Resolver resolve;
    log4cxx::LoggerPtr log;
};
