#pragma once

#include <QMetaType>
#include <QString>

// What one channel of a device's OFD link is doing and has moved: a live
// view while a session runs, the accounting of a session once it ended. A
// session is one TCP connection the device asked for, from its connect
// command to the end of the connection.
struct SessionRecord
{
    enum State { Idle = 0, Resolving, Connecting, Open, Draining };

    int ch = 0;
    // The device's sessions since start, 1 for the first; 0: none yet.
    int number = 0;
    int state = Idle;
    QString host;
    quint16 port = 0;
    QString addr;          // "IP:PORT" once connected, else empty
    qint64 openedMs = 0;   // connect command, ms since the epoch
    qint64 connectedMs = 0; // 0: no connection made
    qint64 endedMs = 0;    // 0: still running
    QString end;           // cause, once ended

    qint64 taken = 0;      // A: from the device's data commands
    qint64 written = 0;    // B: handed to the system's socket
    qint64 unacked = 0;    // U: written, not acknowledged by the server's TCP
    qint64 read = 0;       // D: read from the socket
    qint64 delivered = 0;  // E: handed to the device in data commands
    qint64 queuedToDevice = 0;
    qint64 queuedToOfd = 0;
    int grant = 0;

    bool ended() const { return endedMs != 0; }
    // C and F: what never went on.
    qint64 stuck() const { return taken - written; }
    qint64 discarded() const { return read - delivered; }
    // "ok", "connect_failed" or "incomplete".
    QString result() const;
    QString server() const;
    // The accounting line for the log.
    QString line(const QString &device) const;

    static QString stateName(int state);
};

Q_DECLARE_METATYPE(SessionRecord)
