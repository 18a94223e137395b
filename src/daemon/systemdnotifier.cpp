#include "daemon/systemdnotifier.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

SystemdNotifier SystemdNotifier::fromEnvironment()
{
    SystemdNotifier notifier;
    const QByteArray socket = qgetenv("NOTIFY_SOCKET");
    const QByteArray usec = qgetenv("WATCHDOG_USEC");
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");

    // Room for the name and, for a path, its terminating zero.
    if ((socket.startsWith('/') || socket.startsWith('@')) && size_t(socket.size()) < sizeof(sockaddr_un::sun_path))
        notifier.m_address = socket;
    bool ok = false;
    const qint64 period = usec.toLongLong(&ok);
    // The period is meant for us unless it names another process.
    if (notifier.isActive() && ok && period > 0 && (pid.isEmpty() || pid.toLongLong() == qint64(::getpid())))
        notifier.m_watchdogUsec = period;
    return notifier;
}

bool SystemdNotifier::send(const QByteArray &message, QString *error) const
{
    if (!isActive())
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_address.constData(), size_t(m_address.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));
    if (m_address.startsWith('@'))
        address.sun_path[0] = '\0';
    else
        ++length;

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const ssize_t sent = ::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr *>(&address), length);
    const int sendError = errno;
    ::close(fd);
    if (sent == ssize_t(message.size()))
        return true;
    *error = sent < 0 ? QString::fromLocal8Bit(std::strerror(sendError)) : QStringLiteral("message cut short");
    return false;
}

qint64 SystemdNotifier::monotonicUsec()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
