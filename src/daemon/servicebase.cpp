#include "daemon/servicebase.h"

#include "daemon/controlchannel.h"
#include "daemon/serviceclient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The daemon's parent waits this long for the daemon to report that it runs.
const int kDaemonReadyWaitMs = 30000;

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signo)
{
    const int saved = errno;
    const char byte = char(signo);
    // A full pipe already holds a byte that wakes the loop: nothing to add.
    if (signalPipe[1] >= 0 && ::write(signalPipe[1], &byte, 1) < 0) {
    }
    errno = saved;
}

void printTo(FILE *stream, const QString &text)
{
    ServiceClient::print(stream, text);
}

// Installs the SIGTERM/SIGINT/SIGHUP handlers for the time of a run and restores
// the previous ones afterwards.
class SignalGuard
{
public:
    SignalGuard()
    {
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            signalPipe[0] = signalPipe[1] = -1;
            return;
        }
        struct sigaction action{};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, &m_oldTerm);
        ::sigaction(SIGINT, &action, &m_oldInt);
        ::sigaction(SIGHUP, &action, &m_oldHup);
        // A peer that closed its end must not kill the service.
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, &m_oldPipe);
    }
    ~SignalGuard()
    {
        if (signalPipe[0] < 0)
            return;
        ::sigaction(SIGTERM, &m_oldTerm, nullptr);
        ::sigaction(SIGINT, &m_oldInt, nullptr);
        ::sigaction(SIGHUP, &m_oldHup, nullptr);
        ::sigaction(SIGPIPE, &m_oldPipe, nullptr);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
    int readFd() const { return signalPipe[0]; }

private:
    struct sigaction m_oldTerm{};
    struct sigaction m_oldInt{};
    struct sigaction m_oldHup{};
    struct sigaction m_oldPipe{};
};

} // namespace

ServiceBase::ServiceBase(int argc, char **argv, const QString &name)
    : m_argc(argc), m_argv(argv), m_name(name)
{
}

ServiceBase::~ServiceBase() = default;

QString ServiceBase::unitName() const
{
    const QString base = QFileInfo(QString::fromLocal8Bit(m_argc > 0 ? m_argv[0] : "kiv")).fileName();
    return base.isEmpty() ? QStringLiteral("kiv") : base;
}

int ServiceBase::exec()
{
    ServiceClient client(*this, m_argc, m_argv);
    const ServiceClient::Command command =
        m_argc < 2 ? ServiceClient::Command::Daemon : ServiceClient::parse(QString::fromLocal8Bit(m_argv[1]));
    switch (command) {
    case ServiceClient::Command::Daemon:
        return runDaemon();
    case ServiceClient::Command::Exec:
        return run(-1);
    default:
        return client.run(command);
    }
}

int ServiceBase::runDaemon()
{
    if (ControlChannel::isRunning()) {
        printTo(stderr, QStringLiteral("%1 is already running").arg(m_name));
        return 1;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        printTo(stderr, QStringLiteral("%1: cannot start the daemon: %2").arg(m_name, QString::fromLocal8Bit(strerror(errno))));
        return 1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        printTo(stderr, QStringLiteral("%1: cannot start the daemon: %2").arg(m_name, QString::fromLocal8Bit(strerror(errno))));
        return 1;
    }
    if (child > 0) {
        ::close(ready[1]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        // The daemon writes one byte once it runs: 'R' ready, 'A' another
        // instance already runs. End-of-file means it died on the way.
        char byte = 0;
        pollfd p{ready[0], POLLIN, 0};
        int polled;
        while ((polled = ::poll(&p, 1, kDaemonReadyWaitMs)) < 0 && errno == EINTR) {
        }
        const bool got = polled > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        if (got && byte == 'R')
            return 0;
        if (got && byte == 'A')
            printTo(stderr, QStringLiteral("%1 is already running").arg(m_name));
        else
            printTo(stderr, QStringLiteral("%1: the daemon did not start").arg(m_name));
        return 1;
    }

    // First child: a new session, then a second fork so that the daemon is
    // no session leader and can never acquire a controlling terminal.
    ::close(ready[0]);
    ::setsid();
    const pid_t daemon = ::fork();
    if (daemon != 0)
        ::_exit(daemon < 0 ? 1 : 0);
    if (::chdir("/") != 0)
        ::_exit(1);
    ::umask(022);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO)
            ::close(null);
    }
    return run(ready[1]);
}

int ServiceBase::run(int readyFd)
{
    auto report = [&readyFd](char byte) {
        if (readyFd < 0)
            return;
        // Should the byte not go, the parent sees the pipe close without
        // it and reports the start as failed.
        if (::write(readyFd, &byte, 1) < 0) {
        }
        ::close(readyFd);
        readyFd = -1;
    };

    createApplication(m_argc, m_argv);

    m_channel = std::make_unique<ControlChannel>();
    QString error;
    switch (m_channel->listen(&error)) {
    case ControlChannel::Listening:
        break;
    case ControlChannel::AlreadyRunning:
        printTo(stderr, QStringLiteral("%1 is already running").arg(m_name));
        report('A');
        m_channel.reset();
        return 1;
    case ControlChannel::Failed:
        // The service still runs; it can be stopped by signal.
        printTo(stderr, QStringLiteral("%1: no control channel (%2); stop it with SIGTERM").arg(m_name, error));
        m_channel.reset();
        break;
    }
    if (m_channel)
        m_channel->setHandler([this](const QString &request) { return handleRequest(request); });
    if (m_channel)
        m_channel->setProblemHandler([this](const QString &text) { logProblem(text); });

    // Owns this run's connections and timers: nothing of them outlives run().
    auto context = std::make_unique<QObject>();
    SignalGuard signalGuard;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (signalGuard.readFd() >= 0) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalGuard.readFd(), QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, context.get(), [this, &signalGuard] {
            char buffer[16];
            ssize_t n;
            while ((n = ::read(signalGuard.readFd(), buffer, sizeof(buffer))) > 0) {
                for (ssize_t i = 0; i < n; ++i)
                    onSignal(buffer[i]);
            }
        });
    }

    QTimer::singleShot(0, context.get(), [this, &report] {
        if (!m_terminating) {
            m_started = true;
            start();
        }
        report('R');
    });

    const int code = executeApplication();
    report('R');

    // The loop may also have ended on its own (nothing to serve): wind down
    // whatever is left in the same bounded way.
    if (!m_stopped) {
        m_stopped = true;
        if (m_started)
            stop();
    }
    waitForWork(m_stopGraceMs);

    signalNotifier.reset();
    context.reset();
    // Closing the channel ends the connection of a waiting "-t".
    m_channel.reset();
    return m_terminating ? 0 : code;
}

QString ServiceBase::handleRequest(const QString &request)
{
    const QString ok = QStringLiteral("ok %1").arg(QCoreApplication::applicationPid());
    if (request == QLatin1String("status"))
        return ok;
    if (request == QLatin1String("terminate")) {
        // After the reply: stop() may take a while.
        QTimer::singleShot(0, [this] { requestTerminate(); });
        return ok;
    }
    if (request == QLatin1String("pause")) {
        pause();
        return ok;
    }
    if (request == QLatin1String("resume")) {
        resume();
        return ok;
    }
    if (request.startsWith(QLatin1String("command "))) {
        bool valid = false;
        const int code = request.mid(8).toInt(&valid);
        if (valid) {
            processCommand(code);
            return ok;
        }
    }
    const QString answer = answerRequest(request);
    return answer.isEmpty() ? QStringLiteral("error unknown request") : answer;
}

void ServiceBase::onSignal(int signo)
{
    if (signo != SIGHUP) {
        requestTerminate();
        return;
    }
    if (m_started && !m_stopped && !m_terminating)
        reload();
}

int ServiceBase::statusCommand(const QStringList &arguments)
{
    (void)arguments;
    printTo(stderr, QStringLiteral("%1 has no status to show").arg(m_name));
    return 2;
}

int ServiceBase::checkConfig(const QString &path)
{
    (void)path;
    printTo(stderr, QStringLiteral("%1 has no configuration to check").arg(m_name));
    return 1;
}

void ServiceBase::logProblem(const QString &text)
{
    printTo(stderr, text);
}

void ServiceBase::workEnded()
{
    if (m_onWorkEnded && !hasRunningWork())
        m_onWorkEnded();
}

void ServiceBase::requestTerminate()
{
    if (m_terminating)
        return;
    m_terminating = true;
    if (!m_stopped) {
        m_stopped = true;
        if (m_started)
            stop();
    }
    finishWhenIdle();
}

void ServiceBase::finishWhenIdle()
{
    // The event loop keeps running meanwhile, so that the workers' queued
    // quit() and deferred deletions keep reaching the main thread; the end
    // of the last worker (workEnded) or the grace period finishes it.
    auto finish = [] { QCoreApplication::exit(0); };
    if (!hasRunningWork()) {
        finish();
        return;
    }
    m_onWorkEnded = finish;
    QTimer::singleShot(m_stopGraceMs, QCoreApplication::instance(), [this, finish] {
        if (!hasRunningWork())
            return;
        abandonRunningWork();
        QTimer::singleShot(2000, QCoreApplication::instance(), finish);
    });
}

void ServiceBase::waitForWork(int msecs)
{
    if (!hasRunningWork())
        return;
    QEventLoop loop;
    m_onWorkEnded = [&loop] { loop.quit(); };
    QTimer grace;
    grace.setSingleShot(true);
    bool abandoned = false;
    QObject::connect(&grace, &QTimer::timeout, &loop, [&] {
        if (abandoned || !hasRunningWork()) {
            loop.quit();
            return;
        }
        abandoned = true;
        abandonRunningWork();
        grace.start(2000);
    });
    grace.start(msecs);
    loop.exec();
    m_onWorkEnded = nullptr;
}

