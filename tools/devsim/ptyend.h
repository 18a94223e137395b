#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Our end of a pseudo-terminal that stands in for a serial line: the
// service opens slavePath() as its serial port, we read and write the
// master. The slave is kept open here too, so the line stays up while the
// service closes and reopens its port, and is put in raw mode so nothing
// is echoed or translated before the service sets it up.
class PtyEnd : public QObject
{
    Q_OBJECT
public:
    explicit PtyEnd(QObject *parent = nullptr);
    ~PtyEnd() override;

    bool open();
    QString errorString() const { return m_error; }
    QString slavePath() const { return m_slavePath; }

    // Queues bytes for the line; they go out as fast as the other end reads.
    void write(const QByteArray &bytes);
    qint64 bytesWritten() const { return m_written; }
    qint64 bytesRead() const { return m_read; }

signals:
    void received(const QByteArray &bytes);

private:
    void onReadable();
    void flushPending();

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_error;
    QByteArray m_pending;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    qint64 m_written = 0;
    qint64 m_read = 0;
};
