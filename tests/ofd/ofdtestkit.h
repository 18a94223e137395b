#pragma once

// Helpers shared by the OFD channel tests: log capture, a loopback server.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include <memory>

// Collects "[logger] message" of every line that reaches it, from any thread.
class CaptureAppender : public log4cxx::AppenderSkeleton
{
public:
    void close() override {}
    bool requiresLayout() const override { return false; }

    QStringList lines() const
    {
        QMutexLocker locker(&mutex);
        return captured;
    }
    void clear()
    {
        QMutexLocker locker(&mutex);
        captured.clear();
    }
    bool contains(const QString &line) const { return lines().contains(line); }
    int count(const QString &line) const { return int(lines().count(line)); }
    int indexOf(const QString &line, int from = 0) const { return int(lines().indexOf(line, from)); }

protected:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &) override
    {
        const QString line = QStringLiteral("[%1] %2")
                                 .arg(QString::fromStdString(event->getLoggerName()),
                                      QString::fromStdString(event->getRenderedMessage()));
        QMutexLocker locker(&mutex);
        captured.append(line);
    }

private:
    mutable QMutex mutex;
    QStringList captured;
};

// A loopback server in the test's thread that records what each client sent.
class LoopbackServer : public QObject
{
public:
    explicit LoopbackServer(const QHostAddress &address = QHostAddress::LocalHost)
    {
        QObject::connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = server.nextPendingConnection()) {
                const int index = int(clients.size());
                clients.append(client);
                received.append(QByteArray());
                QObject::connect(client, &QTcpSocket::readyRead, this, [this, client, index] {
                    received[index].append(client->readAll());
                });
            }
        });
        server.listen(address, 0);
    }

    bool isListening() const { return server.isListening(); }
    quint16 port() const { return server.serverPort(); }
    int connections() const { return int(clients.size()); }
    QTcpSocket *client(int index) const { return clients.value(index); }
    QByteArray data(int index) const { return received.value(index); }
    QTcpServer &tcpServer() { return server; }

private:
    QTcpServer server;
    QList<QTcpSocket *> clients;
    QList<QByteArray> received;
};

// A byte pattern whose every position can be checked after transport.
inline QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}
