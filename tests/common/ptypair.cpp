#include "ptypair.h"

#include <QDeadlineTimer>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
    : m_linkPath(m_dir.filePath(QStringLiteral("tty")))
{
    open();
}

PtyPair::~PtyPair()
{
    close();
}

bool PtyPair::open()
{
    char name[256] = {};
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    termios tio;
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_master = master;
    m_slave = slave;
    m_slavePath = QString::fromLocal8Bit(name);
    QFile::remove(m_linkPath);
    if (!m_dir.isValid() || !QFile::link(m_slavePath, m_linkPath)) {
        close();
        return false;
    }
    return true;
}

bool PtyPair::write(const QByteArray &data)
{
    if (m_master < 0)
        return false;
    qsizetype done = 0;
    QDeadlineTimer deadline(5000);
    while (done < data.size()) {
        const ssize_t n = ::write(m_master, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (deadline.hasExpired())
            return false;
        pollfd pfd{m_master, POLLOUT, 0};
        ::poll(&pfd, 1, 10);
    }
    return true;
}

bool PtyPair::waitReadable(int timeoutMs)
{
    if (m_master < 0)
        return false;
    pollfd pfd{m_master, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    // While nobody holds the slave open the master reports POLLHUP; that
    // is no data, so wait in small steps until the deadline instead.
    if (rc > 0 && !(pfd.revents & POLLIN)) {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            pfd.revents = 0;
            rc = ::poll(&pfd, 1, 10);
            if (rc > 0 && (pfd.revents & POLLIN))
                return true;
            if (rc == 0)
                continue;
            ::usleep(5000);
        }
        return false;
    }
    return rc > 0;
}

QByteArray PtyPair::drain(int graceMs)
{
    QByteArray got;
    if (m_master < 0)
        return got;
    if (graceMs > 0)
        waitReadable(graceMs);
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    return got;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    return readUntil([count](const QByteArray &got) { return got.size() >= count; }, timeoutMs);
}

int PtyPair::readByte(int timeoutMs)
{
    // Byte by byte so nothing after the first byte is consumed.
    if (m_master < 0)
        return -1;
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        unsigned char byte;
        const ssize_t n = ::read(m_master, &byte, 1);
        if (n == 1)
            return byte;
        const int left = int(deadline.remainingTime());
        if (left <= 0 || !waitReadable(left))
            return -1;
    }
}

void PtyPair::closeMaster()
{
    QFile::remove(m_linkPath);
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyPair::close()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
    m_slave = -1;
}

bool PtyPair::reopen()
{
    close();
    return open();
}
