#include "kivrun.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <csignal>

#ifndef KIV_EXECUTABLE
#error "KIV_EXECUTABLE must name the built kiv"
#endif

KivRun::KivRun()
{
    if (!m_dir.isValid())
        return;
    const QString exe = executable();
    if (!QFile::copy(QStringLiteral(KIV_EXECUTABLE), exe))
        return;
    QFile::setPermissions(exe, QFile::permissions(exe) | QFileDevice::ExeOwner);
    QFile marker(filePath(QStringLiteral("USE_LOCAL_CONFIGS")));
    if (!marker.open(QIODevice::WriteOnly))
        return;
    marker.close();
    if (!QDir().mkpath(logsDir()))
        return;
    m_process.setWorkingDirectory(dir());
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
        readOutput(QProcess::StandardOutput);
    });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
        readOutput(QProcess::StandardError);
    });
    m_valid = true;
}

KivRun::~KivRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(20000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QString KivRun::executable() const
{
    return filePath(QStringLiteral("kiv"));
}

QString KivRun::logsDir() const
{
    return filePath(QStringLiteral("logs"));
}

QString KivRun::settingsPath() const
{
    return filePath(QStringLiteral("settings.xml"));
}

QString KivRun::filePath(const QString &name) const
{
    return m_dir.filePath(name);
}

QString KivRun::settingsXml(const QString &devicesXml, bool hotplug) const
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<settings>\n"
                          "  <hotplug>%1</hotplug>\n"
                          "  <logs><dir>%2</dir></logs>\n"
                          "%3\n"
                          "</settings>\n")
        .arg(hotplug ? QStringLiteral("auto") : QStringLiteral("off"), logsDir(), devicesXml);
}

bool KivRun::writeSettings(const QString &text)
{
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray bytes = text.toUtf8();
    return file.write(bytes) == bytes.size();
}

bool KivRun::copyBesideExecutable(const QString &source, const QString &name)
{
    const QString target = filePath(name.isEmpty() ? QFileInfo(source).fileName() : name);
    QFile::remove(target);
    return QFile::copy(source, target);
}

bool KivRun::start(const QStringList &args)
{
    if (!m_valid || m_process.state() != QProcess::NotRunning)
        return false;
    m_out.clear();
    m_err.clear();
    m_outPartial.clear();
    m_errPartial.clear();
    m_process.start(executable(), args);
    return m_process.waitForStarted(30000);
}

bool KivRun::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

qint64 KivRun::pid() const
{
    return m_process.processId();
}

void KivRun::readOutput(QProcess::ProcessChannel channel)
{
    m_process.setReadChannel(channel);
    QByteArray &partial = channel == QProcess::StandardOutput ? m_outPartial : m_errPartial;
    QStringList &lines = channel == QProcess::StandardOutput ? m_out : m_err;
    partial += m_process.readAll();
    int end;
    while ((end = partial.indexOf('\n')) >= 0) {
        QByteArray line = partial.left(end);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(QString::fromUtf8(line));
        partial.remove(0, end + 1);
    }
}

bool KivRun::waitForLine(const QString &text, int timeoutMs)
{
    return QTest::qWaitFor([&] { return countLines(text) > 0; }, timeoutMs);
}

bool KivRun::waitForLine(const QRegularExpression &re, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            for (const QString &line : std::as_const(m_out)) {
                if (re.match(line).hasMatch())
                    return true;
            }
            return false;
        },
        timeoutMs);
}

int KivRun::countLines(const QString &text) const
{
    int count = 0;
    for (const QString &line : m_out) {
        if (line.contains(text))
            ++count;
    }
    return count;
}

QString KivRun::readLog(const QString &name) const
{
    QFile file(QDir(logsDir()).filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

int KivRun::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    ::kill(pid_t(m_process.processId()), SIGTERM);
    return waitForExit(timeoutMs);
}

int KivRun::waitForExit(int timeoutMs)
{
    const bool ended = QTest::qWaitFor(
        [&] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
    if (!ended)
        return -1;
    // Pick up what was written just before the end.
    readOutput(QProcess::StandardOutput);
    readOutput(QProcess::StandardError);
    if (!m_outPartial.isEmpty())
        m_out.append(QString::fromUtf8(std::exchange(m_outPartial, {})));
    if (!m_errPartial.isEmpty())
        m_err.append(QString::fromUtf8(std::exchange(m_errPartial, {})));
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

int KivRun::runOnce(const QStringList &args, QString *out, QString *err, int timeoutMs) const
{
    QProcess process;
    process.setWorkingDirectory(dir());
    process.start(executable(), args);
    if (!process.waitForStarted(30000))
        return -1;
    const bool ended = QTest::qWaitFor(
        [&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    if (!ended) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    if (out)
        *out = QString::fromUtf8(process.readAllStandardOutput());
    if (err)
        *err = QString::fromUtf8(process.readAllStandardError());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
