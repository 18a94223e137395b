#pragma once

// Helpers shared by the OFD channel tests: log capture, checkable bytes.

#include <QByteArray>
#include <QMutex>
#include <QStringList>
#include <QTcpSocket>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>
#include <log4cxx/spi/loggingevent.h>

#include <memory>

#include <sys/socket.h>

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

// A byte pattern whose every position can be checked after transport.
inline QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Ends the peer's side with a reset (linger 0): the other side's next
// writes fail.
inline bool resetConnection(QTcpSocket *peer)
{
    const linger reset = {1, 0};
    if (::setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0)
        return false;
    peer->abort();
    return true;
}
