#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A pseudo-terminal standing in for a serial line. The code under test opens
// portPath() like any serial port; the test plays the other end through the
// master. Closing the master is what a vanished device looks like to the
// port's owner; reopen() gives a fresh pair behind the same portPath().
//
// Configure portPath(), not slavePath(): portPath() is a symbolic link in a
// private directory that goes away with the master, so code under test that
// keeps retrying it can never open another test's pseudo-terminal once the
// system hands the freed /dev/pts number out again.
class PtyPair
{
public:
    PtyPair();             // opens at once; check isOpen()
    ~PtyPair();

    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isOpen() const { return m_master >= 0; }
    QString portPath() const { return m_linkPath; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Writes everything; false when the master is closed or write fails.
    bool write(const QByteArray &data);

    // Reads what arrives until `count` bytes came or `timeoutMs` passed.
    QByteArray read(int count, int timeoutMs);
    // Reads until `pred(received)` holds or `timeoutMs` passed.
    template<typename Pred>
    QByteArray readUntil(Pred pred, int timeoutMs);
    // Waits for one byte; -1 on time-out.
    int readByte(int timeoutMs);
    // Everything that is already there, without waiting beyond `graceMs`.
    QByteArray drain(int graceMs = 0);

    // Closes the master only: the slave's user sees the far end go away,
    // and portPath() no longer leads anywhere.
    void closeMaster();
    // Closes our slave descriptor as well (the one kept to hold the line
    // up between openings of the port under test).
    void close();
    // Closes what is open and opens a new pair: slavePath() differs,
    // portPath() stays and leads to the new one.
    bool reopen();

private:
    bool open();
    // Waits until the master is readable; false on time-out or hang-up.
    bool waitReadable(int timeoutMs);

    QTemporaryDir m_dir;
    QString m_linkPath;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

#include <QDeadlineTimer>

template<typename Pred>
QByteArray PtyPair::readUntil(Pred pred, int timeoutMs)
{
    QByteArray got;
    QDeadlineTimer deadline(timeoutMs);
    while (!pred(got)) {
        const int left = int(deadline.remainingTime());
        if (left <= 0 || !waitReadable(left))
            break;
        got += drain();
    }
    return got;
}
