#include "daemon/controlchannel.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kMaxLine = ControlChannel::kMaxLine;

QString executablePath()
{
    // Works before an application object exists.
    const QString path = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return path.isEmpty() && QCoreApplication::instance()
               ? QCoreApplication::applicationFilePath()
               : path;
}

// Milliseconds left until deadline (a monotonic clock reading).
int remaining(qint64 deadline)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 ms = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    return int(qMax<qint64>(0, deadline - ms));
}

qint64 deadlineIn(int timeoutMs)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000 + timeoutMs;
}

int connectTo(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (native.size() >= int(sizeof(address.sun_path)))
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Reads one line of at most maxLine bytes; false on time-out, error or
// end-of-file before "\n". The service sends nothing after its reply, so
// reading ahead in blocks loses nothing.
bool readLine(int fd, QByteArray *line, int timeoutMs, int maxLine)
{
    const qint64 deadline = deadlineIn(timeoutMs);
    line->clear();
    char buffer[4096];
    while (line->size() <= maxLine) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        const qsizetype end = QByteArrayView(buffer, n).indexOf('\n');
        line->append(buffer, end < 0 ? n : end);
        if (end >= 0)
            return line->size() <= maxLine;
    }
    return false;
}

} // namespace

ControlChannel::ControlChannel(QObject *parent) : QObject(parent) {}

ControlChannel::~ControlChannel()
{
    close();
}

QStringList ControlChannel::runtimeDirs()
{
    QStringList dirs{QStringLiteral("/run/kiv")};
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && xdg.startsWith('/'))
        dirs.append(QFile::decodeName(xdg) + QLatin1String("/kiv"));
    dirs.append(QStringLiteral("/tmp/kiv-%1").arg(::geteuid()));
    return dirs;
}

QStringList ControlChannel::clientDirs()
{
    QStringList dirs = runtimeDirs();
    if (::geteuid() != 0)
        return dirs;
    auto addOwned = [&dirs](const QString &path, uint uid) {
        struct stat st{};
        if (dirs.contains(path) || ::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode) && st.st_uid == uid && !(st.st_mode & (S_IWGRP | S_IWOTH)))
            dirs.append(path);
    };
    const QRegularExpression tmpName(QStringLiteral("^kiv-(\\d+)$"));
    for (const QString &name : QDir(QStringLiteral("/tmp")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QRegularExpressionMatch match = tmpName.match(name);
        if (match.hasMatch())
            addOwned(QStringLiteral("/tmp/") + name, match.captured(1).toUInt());
    }
    for (const QString &name : QDir(QStringLiteral("/run/user")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const uint uid = name.toUInt(&ok);
        if (ok)
            addOwned(QStringLiteral("/run/user/%1/kiv").arg(name), uid);
    }
    return dirs;
}

QString ControlChannel::socketName(const QString &executable)
{
    const QString path = executable.isEmpty() ? executablePath() : executable;
    const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("kiv-%1.sock").arg(QString::fromLatin1(hash.left(16)));
}

bool ControlChannel::prepareDir(const QString &dir, bool create)
{
    const QByteArray native = QFile::encodeName(dir);
    struct stat st{};
    if (::lstat(native.constData(), &st) != 0) {
        if (!create || errno != ENOENT)
            return false;
        const QByteArray parent = QFile::encodeName(QFileInfo(dir).path());
        if (::access(parent.constData(), W_OK) != 0)
            return false;
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        if (::lstat(native.constData(), &st) != 0)
            return false;
    }
    // A directory of someone else, a link, or one that others may write to
    // could let another user plant or read the socket.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return false;
    return ::access(native.constData(), W_OK | X_OK) == 0;
}

ControlChannel::ListenResult ControlChannel::listen(QString *error)
{
    close();
    if (isRunning()) {
        if (error)
            *error = QStringLiteral("already running");
        return AlreadyRunning;
    }
    QString dir;
    for (const QString &candidate : runtimeDirs()) {
        if (prepareDir(candidate, true)) {
            dir = candidate;
            break;
        }
    }
    if (dir.isEmpty()) {
        if (error)
            *error = QStringLiteral("no usable runtime directory among %1")
                         .arg(runtimeDirs().join(QLatin1String(", ")));
        return Failed;
    }
    m_path = dir + QLatin1Char('/') + socketName();
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered above, so a file left here is a stale socket.
    QLocalServer::removeServer(m_path);
    if (!m_server->listen(m_path)) {
        const bool inUse = m_server->serverError() == QAbstractSocket::AddressInUseError;
        if (error)
            *error = QStringLiteral("cannot listen on %1: %2").arg(m_path, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        m_path.clear();
        return inUse && isRunning() ? AlreadyRunning : Failed;
    }
    connect(m_server, &QLocalServer::newConnection, this, &ControlChannel::acceptConnections);
    return Listening;
}

void ControlChannel::close()
{
    if (!m_server)
        return;
    m_server->close(); // removes the socket file
    delete m_server;
    m_server = nullptr;
    m_path.clear();
}

void ControlChannel::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        ucred peer{};
        socklen_t size = sizeof(peer);
        if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0
            || (peer.uid != ::geteuid() && peer.uid != 0)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0)
            serve(socket);
    }
}

void ControlChannel::serve(QLocalSocket *socket)
{
    auto refuse = [this, socket](const QString &what) {
        if (socket->property("kivRefused").toBool())
            return;
        socket->setProperty("kivRefused", true);
        if (m_problem)
            m_problem(QStringLiteral("Control channel: %1").arg(what));
    };
    while (socket->canReadLine()) {
        const QByteArray raw = socket->readLine(kMaxLine + 1);
        if (!raw.endsWith('\n')) {
            // Longer than any request: the rest of the line is not read.
            socket->write("error request too long\n");
            refuse(QStringLiteral("refused a request longer than %1 bytes").arg(kMaxLine));
            socket->disconnectFromServer();
            return;
        }
        const QString request = QString::fromUtf8(raw).trimmed();
        const QString reply = m_handler ? m_handler(request) : QStringLiteral("error not ready");
        if (reply.startsWith(QLatin1String("error"))) {
            QString shown = request.left(64);
            for (QChar &c : shown) {
                if (!c.isPrint())
                    c = QLatin1Char('?');
            }
            refuse(QStringLiteral("refused request \"%1\" (%2)").arg(shown, reply));
        }
        socket->write(reply.toUtf8() + '\n');
        socket->flush();
    }
    if (socket->bytesAvailable() > kMaxLine) {
        socket->write("error request too long\n");
        refuse(QStringLiteral("refused a request longer than %1 bytes").arg(kMaxLine));
        socket->disconnectFromServer();
    }
}

bool ControlChannel::request(const QString &line, QString *reply, QString *error, int timeoutMs,
                             int *fdOut, int maxReply)
{
    QString lastError = QStringLiteral("not running");
    for (const QString &dir : clientDirs()) {
        const QString path = dir + QLatin1Char('/') + socketName();
        if (!QFileInfo::exists(path))
            continue;
        const int fd = connectTo(path);
        if (fd < 0) {
            lastError = QStringLiteral("not running (stale socket %1)").arg(path);
            continue;
        }
        QByteArray answer;
        if (!writeAll(fd, line.toUtf8() + '\n') || !readLine(fd, &answer, timeoutMs, maxReply)) {
            ::close(fd);
            lastError = QStringLiteral("no answer on %1").arg(path);
            continue;
        }
        if (reply)
            *reply = QString::fromUtf8(answer);
        if (fdOut)
            *fdOut = fd;
        else
            ::close(fd);
        return true;
    }
    if (error)
        *error = lastError;
    return false;
}

bool ControlChannel::accessDenied()
{
    for (const QString &dir : clientDirs()) {
        const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + socketName());
        struct stat st{};
        if (::stat(path.constData(), &st) != 0) {
            if (errno == EACCES)
                return true;
            continue;
        }
        if (::access(path.constData(), R_OK | W_OK) != 0 && errno == EACCES)
            return true;
    }
    return false;
}

bool ControlChannel::waitForClose(int fd, int timeoutMs)
{
    const qint64 deadline = deadlineIn(timeoutMs);
    bool closed = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closed = true;
            break;
        }
    }
    ::close(fd);
    return closed;
}

bool ControlChannel::isRunning(qint64 *pid)
{
    QString reply;
    if (!request(QStringLiteral("status"), &reply, nullptr, 2000))
        return false;
    if (pid) {
        const QStringList parts = reply.split(QLatin1Char(' '));
        *pid = parts.size() > 1 ? parts.at(1).toLongLong() : 0;
    }
    return true;
}
