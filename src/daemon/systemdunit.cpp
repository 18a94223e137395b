#include "daemon/systemdunit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Quotes a word for ExecStart= when it needs it; "%" is systemd's
// specifier character and is doubled.
QString execWord(QString word)
{
    word.replace(QLatin1String("%"), QLatin1String("%%"));
    if (!word.contains(QLatin1Char(' ')) && !word.contains(QLatin1Char('"'))
        && !word.contains(QLatin1Char('\\')) && !word.contains(QLatin1Char('\''))) {
        return word;
    }
    word.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    word.replace(QLatin1String("\""), QLatin1String("\\\""));
    return QLatin1Char('"') + word + QLatin1Char('"');
}

} // namespace

SystemdUnit::SystemdUnit(const QString &name, const QString &description, const QString &executable,
                         const QString &unitDir, bool manageSystemd)
    : m_name(name),
      m_description(description),
      m_executable(executable),
      m_unitDir(unitDir),
      m_manageSystemd(manageSystemd)
{
}

QString SystemdUnit::path() const
{
    return m_unitDir + QLatin1Char('/') + fileName();
}

bool SystemdUnit::isInstalled() const
{
    return QFileInfo::exists(path());
}

QString SystemdUnit::text(const QString &account) const
{
    QString unit;
    unit += QLatin1String("[Unit]\n");
    unit += QLatin1String("Description=") + m_description + QLatin1Char('\n');
    unit += QLatin1String("After=network-online.target\n");
    unit += QLatin1String("Wants=network-online.target\n\n");
    unit += QLatin1String("[Service]\n");
    // "-e" stays in the foreground: the process systemd started is the one
    // that reports readiness and feeds the watchdog.
    unit += QLatin1String("Type=notify\n");
    unit += QLatin1String("NotifyAccess=main\n");
    unit += QLatin1String("ExecStart=") + execWord(m_executable) + QLatin1String(" -e\n");
    if (!account.isEmpty())
        unit += QLatin1String("User=") + account + QLatin1Char('\n');
    unit += QLatin1String("ExecReload=/bin/kill -HUP $MAINPID\n");
    unit += QLatin1String("Restart=on-failure\n");
    unit += QLatin1String("RestartSec=5\n");
    unit += QLatin1String("TimeoutStartSec=60s\n");
    unit += QLatin1String("TimeoutStopSec=30\n");
    unit += QLatin1String("WatchdogSec=30s\n\n");
    unit += QLatin1String("[Install]\n");
    unit += QLatin1String("WantedBy=multi-user.target\n");
    return unit;
}

QString SystemdUnit::packagedUnit() const
{
    for (const QString &dir : m_packagedDirs) {
        const QString candidate = dir + QLatin1Char('/') + fileName();
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return QString();
}

QString SystemdUnit::activeUnit() const
{
    // systemd's own order: a unit in /etc shadows a packaged one.
    const QString own = path();
    if (QFileInfo::exists(own))
        return own;
    return packagedUnit();
}

QString SystemdUnit::accountProblem(const QString &account)
{
    if (account.isEmpty())
        return QStringLiteral("the account name is empty");
    for (const QChar c : account) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QStringLiteral("the account name may hold no blanks or control characters");
    }
    const QByteArray name = account.toLocal8Bit();
    struct passwd entry{};
    struct passwd *found = nullptr;
    std::vector<char> buffer(16384);
    const int rc = ::getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0)
        return QStringLiteral("cannot look up account \"%1\": %2").arg(account, QString::fromLocal8Bit(std::strerror(rc)));
    if (!found)
        return QStringLiteral("no account \"%1\" on this machine").arg(account);
    return QString();
}

bool SystemdUnit::install(const QString &account, bool enable, QString *error, QStringList *notes)
{
    if (!account.isEmpty()) {
        const QString problem = accountProblem(account);
        if (!problem.isEmpty()) {
            *error = problem;
            return false;
        }
    }
    const QString packaged = packagedUnit();
    if (!packaged.isEmpty()) {
        *error = QStringLiteral("%1 was installed by a package; a unit in %2 would shadow it. "
                                "Set the account there with: systemctl edit %3 "
                                "(add \"[Service]\" and \"User=ACCOUNT\")")
                     .arg(packaged, m_unitDir, fileName());
        return false;
    }
    if (!QFileInfo(m_unitDir).isDir()) {
        *error = QStringLiteral("%1 does not exist; is systemd installed?").arg(m_unitDir);
        return false;
    }
    QSaveFile file(path());
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path(), file.errorString());
        return false;
    }
    file.write(text(account).toUtf8());
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path(), file.errorString());
        return false;
    }
    QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    if (m_manageSystemd) {
        if (systemdRunning())
            systemctl({QStringLiteral("daemon-reload")}, notes);
        if (enable)
            systemctl({QStringLiteral("enable"), fileName()}, notes);
    }
    return true;
}

bool SystemdUnit::uninstall(QString *error, QStringList *notes)
{
    if (!isInstalled()) {
        *error = QStringLiteral("%1 is not installed").arg(path());
        return false;
    }
    if (m_manageSystemd)
        systemctl({QStringLiteral("disable"), fileName()}, notes);
    if (!QFile::remove(path())) {
        *error = QStringLiteral("cannot remove %1: %2").arg(path(), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (m_manageSystemd && systemdRunning())
        systemctl({QStringLiteral("daemon-reload")}, notes);
    return true;
}

bool SystemdUnit::systemdRunning() const
{
    return QFileInfo(QStringLiteral("/run/systemd/system")).isDir();
}

bool SystemdUnit::systemctl(const QStringList &args, QStringList *notes) const
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    const QString shown = QStringLiteral("systemctl ") + args.join(QLatin1Char(' '));
    if (program.isEmpty()) {
        notes->append(QStringLiteral("systemctl not found; skipped \"%1\"").arg(shown));
        return false;
    }
    std::vector<QByteArray> words{QFile::encodeName(program)};
    for (const QString &arg : args)
        words.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        notes->append(QStringLiteral("cannot run \"%1\"").arg(shown));
        return false;
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        notes->append(QStringLiteral("\"%1\" failed").arg(shown));
        return false;
    }
    return true;
}
