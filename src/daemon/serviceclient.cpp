#include "daemon/serviceclient.h"

#include "daemon/controlchannel.h"
#include "daemon/servicebase.h"
#include "daemon/systemdunit.h"

#include <QFileInfo>

#include <unistd.h>

namespace {

// "-t" waits this long for the service to end.
const int kTerminateWaitMs = 15000;

QString selfPath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

} // namespace

ServiceClient::ServiceClient(ServiceBase &service, int argc, char **argv)
    : m_service(service), m_argc(argc), m_argv(argv)
{
}

void ServiceClient::print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stream);
    std::fflush(stream);
}

QString ServiceClient::program() const
{
    return QString::fromLocal8Bit(m_argc > 0 ? m_argv[0] : "kiv");
}

ServiceClient::Command ServiceClient::parse(const QString &argument)
{
    struct Option { const char *shortForm; const char *longForm; Command command; };
    static const Option options[] = {
        {"-i", "-install", Command::Install},   {"-u", "-uninstall", Command::Uninstall},
        {"-e", "-exec", Command::Exec},         {"-t", "-terminate", Command::Terminate},
        {"-p", "-pause", Command::Pause},       {"-r", "-resume", Command::Resume},
        {"-c", "-command", Command::SendCommand}, {"-v", "-version", Command::Version},
        {"-h", "-help", Command::Help},         {"--version", "--version", Command::PrintVersion},
        {"--check-config", "--check-config", Command::CheckConfig},
        {"-s", "-status", Command::Status},
    };
    for (const Option &option : options) {
        if (argument == QLatin1String(option.shortForm) || argument == QLatin1String(option.longForm))
            return option.command;
    }
    return Command::Unknown;
}

QString ServiceClient::usage() const
{
    return QStringLiteral(
               "%1\n"
               "Usage: %2 [option]\n"
               "\n"
               "Without an option the service starts in the background as a daemon.\n"
               "\n"
               "Options:\n"
               "  -e, -exec               run in the foreground, logging to standard output too\n"
               "  -t, -terminate          stop the running service and wait for it to end\n"
               "%4"
               "  -p, -pause              accepted for compatibility: the service answers \"ok\"\n"
               "                          and changes nothing\n"
               "  -r, -resume             accepted for compatibility: answers \"ok\", does nothing\n"
               "  -c, -command NUM        accepted for compatibility: answers \"ok\", does nothing\n"
               "  -v, -version            print the version and whether the service is installed\n"
               "                          and running\n"
               "  -i, -install [ACCOUNT]  install the systemd unit %3 (runs \"%2 -e\",\n"
               "                          as ACCOUNT when given); needs root\n"
               "  -u, -uninstall          remove the systemd unit; needs root\n"
               "  -h, -help               print this text\n"
               "  --version               print the version alone\n"
               "  --check-config [FILE]   check the configuration the service would read (or\n"
               "                          FILE): exit code 0 when usable, 1 otherwise\n"
               "\n"
               "SIGHUP makes the running service read its configuration again.\n")
        .arg(m_service.serviceName(), program(), m_service.unitName() + QLatin1String(".service"),
             m_service.statusUsage());
}

int ServiceClient::run(Command command)
{
    const QString name = m_service.serviceName();
    switch (command) {
    case Command::Terminate:
        return terminate();
    case Command::Pause:
        return sendRequest(QStringLiteral("pause"), QStringLiteral("asked %1 to pause").arg(name));
    case Command::Resume:
        return sendRequest(QStringLiteral("resume"), QStringLiteral("asked %1 to resume").arg(name));
    case Command::SendCommand: {
        bool ok = false;
        const int code = m_argc > 2 ? QString::fromLocal8Bit(m_argv[2]).toInt(&ok) : 0;
        if (!ok) {
            print(stderr, QStringLiteral("%1: -c needs a numeric command code\n\n%2").arg(program(), usage()));
            return 2;
        }
        return sendRequest(QStringLiteral("command %1").arg(code),
                           QStringLiteral("sent command %1 to %2").arg(code).arg(name));
    }
    case Command::Version:
        return printVersion();
    case Command::Install:
        return install();
    case Command::Uninstall:
        return uninstall();
    case Command::Help:
        print(stdout, usage());
        return 0;
    case Command::PrintVersion:
        print(stdout, m_service.versionText());
        return 0;
    case Command::CheckConfig:
        if (m_argc > 3) {
            print(stderr, QStringLiteral("%1: --check-config takes at most one file\n\n%2").arg(program(), usage()));
            return 2;
        }
        // The configuration's place depends on the executable's directory.
        m_service.createApplication(m_argc, m_argv);
        return m_service.checkConfig(m_argc > 2 ? QString::fromLocal8Bit(m_argv[2]) : QString());
    case Command::Status: {
        QStringList arguments;
        for (int i = 2; i < m_argc; ++i)
            arguments.append(QString::fromLocal8Bit(m_argv[i]));
        return m_service.statusCommand(arguments);
    }
    case Command::Daemon:
    case Command::Exec:
    case Command::Unknown:
        break;
    }
    print(stderr, QStringLiteral("%1: unknown option \"%2\"\n\n%3")
                      .arg(program(), m_argc > 1 ? QString::fromLocal8Bit(m_argv[1]) : QString(), usage()));
    return 2;
}

int ServiceClient::sendRequest(const QString &request, const QString &done)
{
    const QString name = m_service.serviceName();
    QString reply;
    QString error;
    if (!ControlChannel::request(request, &reply, &error)) {
        print(stderr, QStringLiteral("%1: %2").arg(name, error));
        return 1;
    }
    if (!reply.startsWith(QLatin1String("ok"))) {
        print(stderr, QStringLiteral("%1: %2").arg(name, reply));
        return 1;
    }
    print(stdout, done);
    return 0;
}

int ServiceClient::terminate()
{
    const QString name = m_service.serviceName();
    QString reply;
    QString error;
    int fd = -1;
    if (!ControlChannel::request(QStringLiteral("terminate"), &reply, &error, 5000, &fd)) {
        print(stderr, QStringLiteral("%1: %2").arg(name, error));
        return 1;
    }
    if (!reply.startsWith(QLatin1String("ok"))) {
        ::close(fd);
        print(stderr, QStringLiteral("%1: %2").arg(name, reply));
        return 1;
    }
    if (!ControlChannel::waitForClose(fd, kTerminateWaitMs)) {
        print(stderr, QStringLiteral("%1 did not stop within %2 s").arg(name).arg(kTerminateWaitMs / 1000));
        return 1;
    }
    print(stdout, QStringLiteral("%1 stopped").arg(name));
    return 0;
}

int ServiceClient::printVersion()
{
    const QString name = m_service.serviceName();
    const SystemdUnit unit(m_service.unitName(), name, selfPath());
    qint64 pid = 0;
    const bool running = ControlChannel::isRunning(&pid);
    QString text = name + QLatin1Char('\n');
    text += unit.isInstalled() ? QStringLiteral("installed: yes (%1)\n").arg(unit.path())
                               : QStringLiteral("installed: no\n");
    text += running ? QStringLiteral("running: yes (pid %1)").arg(pid) : QStringLiteral("running: no");
    print(stdout, text);
    return 0;
}

int ServiceClient::install()
{
    const QString name = m_service.serviceName();
    SystemdUnit unit(m_service.unitName(), name, selfPath());
    const QString account = m_argc > 2 ? QString::fromLocal8Bit(m_argv[2]) : QString();
    if (m_argc > 2) {
        const QString problem = SystemdUnit::accountProblem(account);
        if (!problem.isEmpty()) {
            print(stderr, QStringLiteral("Cannot install %1: %2").arg(name, problem));
            return 1;
        }
    }
    if (m_argc > 3)
        print(stderr, QStringLiteral("note: a password is not needed for a systemd unit; ignored"));
    QString error;
    QStringList notes;
    const bool ok = unit.install(account, m_service.startupType() == ServiceBase::AutoStartup, &error, &notes);
    for (const QString &note : std::as_const(notes))
        print(stderr, QStringLiteral("note: ") + note);
    if (!ok) {
        print(stderr, QStringLiteral("Cannot install %1: %2%3")
                          .arg(name, error, ::geteuid() != 0 ? QStringLiteral(" (run as root)") : QString()));
        return 1;
    }
    print(stdout, QStringLiteral("Installed %1 as %2\nStart it with: systemctl start %3")
                      .arg(name, unit.path(), unit.fileName()));
    return 0;
}

int ServiceClient::uninstall()
{
    const QString name = m_service.serviceName();
    SystemdUnit unit(m_service.unitName(), name, selfPath());
    QString error;
    QStringList notes;
    const bool ok = unit.uninstall(&error, &notes);
    for (const QString &note : std::as_const(notes))
        print(stderr, QStringLiteral("note: ") + note);
    if (!ok) {
        print(stderr, QStringLiteral("Cannot uninstall %1: %2%3")
                          .arg(name, error,
                               ::geteuid() != 0 && unit.isInstalled() ? QStringLiteral(" (run as root)") : QString()));
        return 1;
    }
    print(stdout, QStringLiteral("Uninstalled %1 (%2)").arg(name, unit.path()));
    if (ControlChannel::isRunning())
        print(stdout, QStringLiteral("%1 is still running; stop it with: %2 -t").arg(name, program()));
    return 0;
}
