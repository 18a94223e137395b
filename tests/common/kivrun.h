#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

// Runs a private copy of the built kiv, as a user would, from a temporary
// directory that holds the "USE_LOCAL_CONFIGS" marker, the test's
// settings.xml and a "logs" directory. Nothing of the machine's own
// configuration is read. Standard output and error are collected by line.
class KivRun
{
public:
    KivRun();
    ~KivRun();

    KivRun(const KivRun &) = delete;
    KivRun &operator=(const KivRun &) = delete;

    bool isValid() const { return m_valid; }
    QString dir() const { return m_dir.path(); }
    QString executable() const;
    QString logsDir() const;
    QString settingsPath() const;
    QString filePath(const QString &name) const;

    // A settings.xml whose log directory is logsDir(); devicesXml goes inside
    // the root element as it stands ("<device>...</device>" elements etc).
    QString settingsXml(const QString &devicesXml, bool hotplug = false) const;
    // Writes settings.xml as given (raw text, may be malformed on purpose).
    bool writeSettings(const QString &text);
    bool writeSettingsBody(const QString &devicesXml, bool hotplug = false)
    {
        return writeSettings(settingsXml(devicesXml, hotplug));
    }
    // Copies a file (e.g. a shared object) beside the executable.
    bool copyBesideExecutable(const QString &source, const QString &name = QString());

    // Starts the copy with the given arguments ("-e" by default).
    bool start(const QStringList &args = {QStringLiteral("-e")});
    bool isRunning() const;
    qint64 pid() const;

    // Waits until a line of standard output contains text / matches re.
    bool waitForLine(const QString &text, int timeoutMs = 30000);
    bool waitForLine(const QRegularExpression &re, int timeoutMs = 30000);
    // Number of standard output lines containing text so far.
    int countLines(const QString &text) const;

    QStringList outputLines() const { return m_out; }
    QStringList errorLines() const { return m_err; }
    QString output() const { return m_out.join(QLatin1Char('\n')); }
    QString errorOutput() const { return m_err.join(QLatin1Char('\n')); }

    // Text of a file in logsDir() ("Kiv.log", "Debug.log"), empty if absent.
    QString readLog(const QString &name = QStringLiteral("Kiv.log")) const;

    // Sends SIGTERM and waits for the exit; returns the exit code, or -1 on
    // a crash or when the process did not end in time.
    int stop(int timeoutMs = 30000);
    // Waits for the process to end on its own; exit code or -1.
    int waitForExit(int timeoutMs = 30000);

    // Runs the copy once to completion (e.g. "-h", "-t"); collects its
    // output into out/err when given. Returns the exit code or -1.
    int runOnce(const QStringList &args, QString *out = nullptr, QString *err = nullptr,
                int timeoutMs = 30000) const;

    QProcess &process() { return m_process; }

private:
    void readOutput(QProcess::ProcessChannel channel);

    QTemporaryDir m_dir;
    QProcess m_process;
    QStringList m_out;
    QStringList m_err;
    QByteArray m_outPartial;
    QByteArray m_errPartial;
    bool m_valid = false;
};
