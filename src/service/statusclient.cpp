#include "service/statusclient.h"

#include "daemon/controlchannel.h"
#include "service/statusformatter.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The answer for a few thousand devices fits with room to spare.
const int kMaxAnswer = 8 * 1024 * 1024;

bool print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    bool ok = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size());
    if (!text.endsWith(QLatin1Char('\n')))
        ok = std::fputc('\n', stream) != EOF && ok;
    return std::fflush(stream) == 0 && ok;
}

bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

StatusClient::StatusClient(const QStringList &arguments) : m_arguments(arguments) {}

QString StatusClient::usage()
{
    return QStringLiteral(
        "  -s, -status [ID...] [--json | --prometheus] [-o FILE]\n"
        "                          show the devices of the running service: a table,\n"
        "                          the devices named in detail, JSON for scripts or\n"
        "                          metrics for a collector, to FILE when given; exit\n"
        "                          code 0 all ready or exchanging, 3 some not, 1 not\n"
        "                          running, 2 usage error or unknown ID, 4 not allowed\n");
}

bool StatusClient::parse(QString *problem)
{
    bool formGiven = false;
    for (int i = 0; i < m_arguments.size(); ++i) {
        const QString &a = m_arguments.at(i);
        if (a == QLatin1String("--json") || a == QLatin1String("--prometheus")) {
            const Form form = a == QLatin1String("--json") ? Form::Json : Form::Prometheus;
            if (formGiven && form != m_form) {
                *problem = QStringLiteral("--json and --prometheus exclude each other");
                return false;
            }
            formGiven = true;
            m_form = form;
        } else if (a == QLatin1String("-o")) {
            if (i + 1 >= m_arguments.size() || m_arguments.at(i + 1).isEmpty()) {
                *problem = QStringLiteral("-o needs a file name");
                return false;
            }
            m_output = m_arguments.at(++i);
        } else if (a.startsWith(QLatin1Char('-'))) {
            *problem = QStringLiteral("unknown option \"%1\" for -s").arg(a);
            return false;
        } else if (!m_ids.contains(a)) {
            m_ids.append(a);
        }
    }
    return true;
}

int StatusClient::deliver(const QString &text, int code)
{
    if (m_output.isEmpty()) {
        // A script reading a redirected answer must not take a cut one for whole.
        if (!print(stdout, text)) {
            print(stderr, QStringLiteral("kiv: cannot write the standard output: %1").arg(systemError()));
            return code == Healthy || code == Unhealthy ? NoService : code;
        }
        return code;
    }
    QString error;
    if (!writeAtomically(m_output, text.toUtf8(), &error)) {
        print(stderr, QStringLiteral("kiv: cannot write %1: %2").arg(m_output, error));
        return code == Healthy || code == Unhealthy ? NoService : code;
    }
    return code;
}

int StatusClient::run()
{
    QString problem;
    if (!parse(&problem)) {
        print(stderr, QStringLiteral("kiv: %1\n\nUsage:\n%2").arg(problem, usage()));
        return Usage;
    }
    QString reply;
    QString error;
    if (!ControlChannel::request(QStringLiteral("devices"), &reply, &error, 5000, nullptr, kMaxAnswer)) {
        if (ControlChannel::accessDenied()) {
            print(stderr, QStringLiteral("kiv: not allowed to ask the running service (root or its own account only)"));
            return NotAllowed;
        }
        print(stderr, QStringLiteral("kiv: %1").arg(error));
        // A collector reads the service as down rather than finding no file.
        if (m_form == Form::Prometheus)
            deliver(StatusFormatter::prometheusDown(), NoService);
        return NoService;
    }
    QJsonParseError parseError{};
    const QJsonDocument doc = reply.startsWith(QLatin1String("ok "))
                                  ? QJsonDocument::fromJson(reply.mid(3).toUtf8(), &parseError)
                                  : QJsonDocument();
    if (!doc.isObject()) {
        print(stderr, QStringLiteral("kiv: the service gave no usable answer: %1").arg(reply.left(200)));
        if (m_form == Form::Prometheus)
            deliver(StatusFormatter::prometheusDown(), NoService);
        return NoService;
    }
    const QJsonObject all = doc.object();
    QStringList unknown;
    QStringList known;
    for (const QJsonValue &device : all.value(QStringLiteral("devices")).toArray())
        known.append(device.toObject().value(QStringLiteral("id")).toString());
    for (const QString &id : std::as_const(m_ids)) {
        if (!known.contains(id))
            unknown.append(id);
    }
    if (!unknown.isEmpty()) {
        print(stderr, QStringLiteral("kiv: unknown device ID: %1").arg(unknown.join(QLatin1String(", "))));
        return Usage;
    }
    const QJsonObject shown = StatusFormatter::select(all, m_ids);
    const int code = StatusFormatter::allHealthy(shown) ? Healthy : Unhealthy;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    switch (m_form) {
    case Form::Json:
        return deliver(StatusFormatter::json(shown), code);
    case Form::Prometheus:
        return deliver(StatusFormatter::prometheus(shown), code);
    case Form::Text:
        break;
    }
    return deliver(m_ids.isEmpty() ? StatusFormatter::table(shown, now) : StatusFormatter::detail(shown, now), code);
}

bool StatusClient::writeAtomically(const QString &path, const QByteArray &text, QString *error)
{
    const QFileInfo target(path);
    const QByteArray dir = QFile::encodeName(target.absolutePath());
    QByteArray temp = QFile::encodeName(target.absolutePath() + QStringLiteral("/.") + target.fileName()
                                        + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemError();
        return false;
    }
    bool ok = writeAll(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    if (!ok)
        *error = systemError();
    if (::close(fd) != 0 && ok) {
        ok = false;
        *error = systemError();
    }
    if (ok && ::rename(temp.constData(), QFile::encodeName(target.absoluteFilePath()).constData()) != 0) {
        ok = false;
        *error = systemError();
    }
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    // The rename itself is made durable with the directory.
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0)
        print(stderr, QStringLiteral("kiv: note: %1 written, but its directory could not be synced: %2")
                          .arg(path, systemError()));
    if (dirFd >= 0)
        ::close(dirFd);
    return true;
}
