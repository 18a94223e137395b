// The service as a user runs it: command line, daemon, control channel,
// signals and exit codes.
#include "daemon/controlchannel.h"
#include "kivrun.h"

#include <QFile>
#include <QLocalSocket>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>

namespace {

// A process that is gone or only waits to be reaped.
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) == 'Z';
}

qint64 runningPid(const KivRun &kiv)
{
    QString out;
    if (kiv.runOnce({QStringLiteral("-v")}, &out) != 0)
        return -1;
    const QRegularExpression re(QStringLiteral("running: yes \\(pid (\\d+)\\)"));
    const QRegularExpressionMatch match = re.match(out);
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

bool waitUntilRunning(const KivRun &kiv, int timeoutMs = 30000)
{
    return QTest::qWaitFor([&] { return runningPid(kiv) > 0; }, timeoutMs);
}

// Keeps the service running without any device: hot-plug mode waits for
// arrivals.
const char *const kIdleDevices = "";

// Devices whose ports do not exist: their workers keep trying.
const char *const kUnopenableDevices =
    "<device><id>u1</id><port>9-9.9</port></device>"
    "<device type=\"dalv\"><id>c2</id><protocol>2</protocol>"
    "<app><port>/nonexistent/app2</port></app><dev><port>/nonexistent/dev2</port></dev></device>"
    "<device type=\"dalv\"><id>c3</id><protocol>3</protocol>"
    "<app><port>/nonexistent/app3</port></app><dev><port>/nonexistent/dev3</port></dev></device>";

QString serialDevice(const QString &id, const QString &appPort)
{
    return QStringLiteral("<device type=\"dalv\"><id>%1</id><protocol>3</protocol>"
                          "<app><port>%2</port></app><dev><port>/nonexistent/dev-%1</port></dev></device>")
        .arg(id, appPort);
}

int indexOf(const QStringList &lines, const QString &text)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).contains(text))
            return i;
    }
    return -1;
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT
private slots:
    void helpPrintsUsage()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        for (const QString &option : {QStringLiteral("-h"), QStringLiteral("-help")}) {
            QString out, err;
            QCOMPARE(kiv.runOnce({option}, &out, &err), 0);
            QVERIFY2(out.contains(QLatin1String("Kiv (v8520)")), qPrintable(out));
            QVERIFY(out.contains(QLatin1String("Usage:")));
            for (const char *listed : {"-exec", "-terminate", "-pause", "-resume", "-command",
                                       "-version", "-install", "-uninstall", "-help"})
                QVERIFY2(out.contains(QLatin1String(listed)), listed);
            QVERIFY(err.isEmpty());
        }
    }

    void unknownArgumentExitsTwoWithoutStarting()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString::fromLatin1(kIdleDevices), true));
        // Near misses of real options must not start a daemon by accident.
        for (const QString &arg : {QStringLiteral("--exec"), QStringLiteral("-E"),
                                   QStringLiteral("exec"), QStringLiteral("-x")}) {
            QString out, err;
            QCOMPARE(kiv.runOnce({arg}, &out, &err), 2);
            QVERIFY2(err.contains(QLatin1String("Usage:")), qPrintable(err));
            QVERIFY(err.contains(arg));
        }
        QString out, err;
        QCOMPARE(kiv.runOnce({QStringLiteral("-c")}, &out, &err), 2);
        QCOMPARE(kiv.runOnce({QStringLiteral("-c"), QStringLiteral("abc")}, &out, &err), 2);
        QCOMPARE(runningPid(kiv), 0);
    }

    void controlWithoutServiceFails()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        for (const QStringList &args : {QStringList{QStringLiteral("-t")}, QStringList{QStringLiteral("-p")},
                                        QStringList{QStringLiteral("-r")},
                                        QStringList{QStringLiteral("-c"), QStringLiteral("7")}}) {
            QString out, err;
            QCOMPARE(kiv.runOnce(args, &out, &err), 1);
            QVERIFY2(err.contains(QLatin1String("not running")), qPrintable(err));
        }
        QString out;
        QCOMPARE(kiv.runOnce({QStringLiteral("-version")}, &out), 0);
        QVERIFY2(out.startsWith(QLatin1String("Kiv (v8520)\n")), qPrintable(out));
        QVERIFY(out.contains(QLatin1String("running: no")));
        QVERIFY(out.contains(QLatin1String("installed: ")));
    }

    void noConfigurationExitsZero()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(!QFile::exists(kiv.settingsPath()));
        QVERIFY(kiv.start({QStringLiteral("-e")}));
        QCOMPARE(kiv.waitForExit(), 0);
        const QStringList lines = kiv.outputLines();
        const int startLine = indexOf(lines, QStringLiteral("INFO  [Kiv] Start service Kiv (v8520)"));
        const int noDevices = indexOf(lines, QStringLiteral("INFO  [Kiv] No devices in config"));
        QVERIFY2(startLine >= 0, qPrintable(kiv.output()));
        QVERIFY2(noDevices > startLine, qPrintable(kiv.output()));
        QVERIFY2(kiv.output().contains(QLatin1String("No configuration file found")), qPrintable(kiv.output()));
        QCOMPARE(kiv.countLines(QStringLiteral("[Kiv] Start service")), 1);
    }

    void devicesAreRegistered()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString::fromLatin1(kUnopenableDevices)));
        QVERIFY(kiv.start());
        QVERIFY(kiv.waitForLine(QStringLiteral("Register Dalv worker [c3]")));
        QCOMPARE(kiv.countLines(QStringLiteral("INFO  [Kiv] Configuration file ") + kiv.settingsPath()), 1);
        QCOMPARE(kiv.countLines(QStringLiteral("INFO  [Kiv] Register Kiv worker [u1]")), 1);
        QCOMPARE(kiv.countLines(QStringLiteral("INFO  [Kiv] Register Dalv worker [c2]")), 1);
        QCOMPARE(kiv.countLines(QStringLiteral("No devices in config")), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("WARN")), 0);
        QCOMPARE(kiv.stop(), 0);
    }

    void hotplugModeSkipsConfiguredUsbDevices()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString::fromLatin1(kUnopenableDevices), true));
        QVERIFY(kiv.start());
        QVERIFY(kiv.waitForLine(QStringLiteral("Register Dalv worker [c3]")));
        QCOMPARE(kiv.countLines(QStringLiteral("INFO  [Kiv] Hotplug mode")), 1);
        QCOMPARE(kiv.countLines(QStringLiteral("Register Kiv worker")), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("Register Dalv worker [c2]")), 1);
        QCOMPARE(kiv.stop(), 0);
    }

    void malformedConfigurationIsReported()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettings(QStringLiteral("<settings>\n"
                                                 "  <logs><dir>%1</dir></logs>\n"
                                                 "  <device><id>good</id><port>9-9</port></device>\n"
                                                 "  <device><id>cut</port></device>\n"
                                                 "  <device><id>lost</id></device>\n"
                                                 "</settings>\n")
                                      .arg(kiv.logsDir())));
        QVERIFY(kiv.start());
        QVERIFY(kiv.waitForLine(QStringLiteral("Register Kiv worker [good]")));
        const QRegularExpression warn(QStringLiteral("WARN  \\[Kiv\\] Configuration file %1 is malformed at line 4, "
                                                     "column \\d+: .+; devices read before the error: USB \\[good\\]")
                                          .arg(QRegularExpression::escape(kiv.settingsPath())));
        QVERIFY2(kiv.waitForLine(warn, 1000), qPrintable(kiv.output()));
        // The entry the error interrupted is not served, nor what follows.
        QCOMPARE(kiv.countLines(QStringLiteral("Register Kiv worker []")), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("[cut]")), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("[lost]")), 0);
        QCOMPARE(kiv.stop(), 0);
    }

    void unreadableConfigurationIsReported()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        // A directory in place of the file cannot be read, not even by root.
        QVERIFY(QDir().mkpath(kiv.settingsPath()));
        QVERIFY(kiv.start());
        QCOMPARE(kiv.waitForExit(), 0);
        const QString warn = QStringLiteral("WARN  [Kiv] Cannot read configuration file ") + kiv.settingsPath();
        QVERIFY2(kiv.countLines(warn) == 1, qPrintable(kiv.output()));
        QCOMPARE(kiv.countLines(QStringLiteral("No devices in config")), 1);
    }

    void sigtermStopsForegroundRun_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("devices");
        QTest::addColumn<bool>("hotplug");
        QTest::newRow("SIGTERM, hot-plug, no devices") << int(SIGTERM) << QString() << true;
        QTest::newRow("SIGINT, hot-plug, no devices") << int(SIGINT) << QString() << true;
        QTest::newRow("SIGTERM, devices that cannot be opened")
            << int(SIGTERM) << QString::fromLatin1(kUnopenableDevices) << false;
    }

    void sigtermStopsForegroundRun()
    {
        QFETCH(int, signal);
        QFETCH(QString, devices);
        QFETCH(bool, hotplug);
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(devices, hotplug));
        QVERIFY(kiv.start({QStringLiteral("-e")}));
        QVERIFY(waitUntilRunning(kiv));
        QCOMPARE(runningPid(kiv), kiv.pid());
        ::kill(pid_t(kiv.pid()), signal);
        QCOMPARE(kiv.waitForExit(), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("INFO  [Kiv] Stop service Kiv (v8520)")), 1);
        QVERIFY2(!kiv.errorOutput().contains(QLatin1String("still running")), qPrintable(kiv.errorOutput()));
        QCOMPARE(runningPid(kiv), 0);
    }

    void terminateStopsForegroundRun()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString(), true));
        QVERIFY(kiv.start({QStringLiteral("-exec")}));
        QVERIFY(waitUntilRunning(kiv));
        QString out, err;
        QCOMPARE(kiv.runOnce({QStringLiteral("-p")}, &out, &err), 0);
        QCOMPARE(kiv.runOnce({QStringLiteral("-r")}, &out, &err), 0);
        QCOMPARE(kiv.runOnce({QStringLiteral("-command"), QStringLiteral("42")}, &out, &err), 0);
        // A second instance of the same installation refuses to start.
        QCOMPARE(kiv.runOnce({QStringLiteral("-e")}, &out, &err), 1);
        QVERIFY2(err.contains(QLatin1String("already running")), qPrintable(err));
        QVERIFY(kiv.isRunning());

        QCOMPARE(kiv.runOnce({QStringLiteral("-t")}, &out, &err), 0);
        QVERIFY2(out.contains(QLatin1String("stopped")), qPrintable(out + err));
        // "-t" returns once the service has ended.
        QCOMPARE(kiv.waitForExit(), 0);
    }

    void separateCopiesDoNotMeet()
    {
        KivRun first;
        KivRun second;
        QVERIFY(first.isValid() && second.isValid());
        QVERIFY(first.writeSettingsBody(QString(), true));
        QVERIFY(second.writeSettingsBody(QString(), true));
        QVERIFY(first.start());
        QVERIFY(waitUntilRunning(first));
        QCOMPARE(runningPid(second), 0);
        QVERIFY(second.start());
        QVERIFY(waitUntilRunning(second));
        QCOMPARE(runningPid(first), first.pid());
        QCOMPARE(runningPid(second), second.pid());
        QCOMPARE(second.runOnce({QStringLiteral("-t")}), 0);
        QCOMPARE(second.waitForExit(), 0);
        QVERIFY(first.isRunning());
        QCOMPARE(first.stop(), 0);
    }

    void sighupAppliesTheChangedConfiguration()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(serialDevice(QStringLiteral("keep"), QStringLiteral("/nonexistent/k"))
                                      + serialDevice(QStringLiteral("gone"), QStringLiteral("/nonexistent/g"))
                                      + serialDevice(QStringLiteral("moved"), QStringLiteral("/nonexistent/m1"))));
        QVERIFY(kiv.start());
        QVERIFY(kiv.waitForLine(QStringLiteral("Register Dalv worker [moved]")));
        QVERIFY(waitUntilRunning(kiv));

        QVERIFY(kiv.writeSettingsBody(serialDevice(QStringLiteral("keep"), QStringLiteral("/nonexistent/k"))
                                      + serialDevice(QStringLiteral("moved"), QStringLiteral("/nonexistent/m2"))
                                      + serialDevice(QStringLiteral("new"), QStringLiteral("/nonexistent/n"))));
        ::kill(pid_t(kiv.pid()), SIGHUP);
        QVERIFY2(kiv.waitForLine(QStringLiteral("INFO  [Kiv] Reload configuration file %1: added [new], removed [gone], "
                                                "changed [moved], unchanged 1")
                                     .arg(kiv.settingsPath())),
                 qPrintable(kiv.output()));
        QVERIFY(kiv.waitForLine(QStringLiteral("Register Dalv worker [new]")));
        QVERIFY(kiv.waitForLine(QStringLiteral("[ComProxy3-gone] stopped")));
        QTRY_COMPARE_WITH_TIMEOUT(kiv.countLines(QStringLiteral("Register Dalv worker [moved]")), 2, 30000);
        QCOMPARE(kiv.countLines(QStringLiteral("Register Dalv worker [keep]")), 1);
        QCOMPARE(kiv.countLines(QStringLiteral("[ComProxy3-keep] stopped")), 0);

        // A broken file changes nothing and says why.
        QVERIFY(kiv.writeSettings(QStringLiteral("<settings><device type=\"dalv\"><id>half")));
        ::kill(pid_t(kiv.pid()), SIGHUP);
        QVERIFY2(kiv.waitForLine(QRegularExpression(QStringLiteral("WARN  \\[Kiv\\] Reload: configuration file .* not "
                                                                   "used, malformed at line 1.*running devices are kept"))),
                 qPrintable(kiv.output()));
        QVERIFY(kiv.isRunning());
        QCOMPARE(kiv.countLines(QStringLiteral("Register Dalv worker [half")), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("[ComProxy3-keep] stopped")), 0);

        QCOMPARE(kiv.stop(), 0);
        QCOMPARE(kiv.countLines(QStringLiteral("INFO  [Kiv] Stop service Kiv (v8520)")), 1);
        QCOMPARE(kiv.countLines(QStringLiteral("[ComProxy3-keep] stopped")), 1);
    }

    void checkConfigTellsWhetherTheFileIsUsable()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QString out, err;
        // The file the service would read: missing.
        QCOMPARE(kiv.runOnce({QStringLiteral("--check-config")}, &out, &err), 1);
        QVERIFY2(out.contains(QStringLiteral("Configuration file: ") + kiv.settingsPath()), qPrintable(out));

        QVERIFY(kiv.writeSettingsBody(QString::fromLatin1(kUnopenableDevices)));
        QCOMPARE(kiv.runOnce({QStringLiteral("--check-config")}, &out, &err), 0);
        QVERIFY2(out.contains(QLatin1String("Devices: 3")), qPrintable(out));
        QVERIFY(out.contains(QLatin1String("USB     [u1] port 9-9.9")));
        QVERIFY(out.contains(QLatin1String("serial  [c2] protocol 2")));
        QVERIFY(out.contains(QLatin1String("Problems: 0")));

        // Another file, with problems; the service's own file is not read.
        const QString other = kiv.filePath(QStringLiteral("other.xml"));
        const auto writeOther = [&other](const QByteArray &text) {
            QFile file(other);
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
        };
        QVERIFY(writeOther("<settings>\n<device><id>a</id><port>1-1</port></device>\n"
                           "<device><id>a</id><port>1-2</port><extra/></device>\n</settings>\n"));
        QCOMPARE(kiv.runOnce({QStringLiteral("--check-config"), other}, &out, &err), 1);
        QVERIFY2(out.contains(QStringLiteral("Configuration file: ") + other), qPrintable(out));
        QVERIFY(out.contains(QLatin1String("line 3, column")));
        QVERIFY(out.contains(QLatin1String("duplicate id \"a\"")));
        QVERIFY(out.contains(QLatin1String("unknown element <extra>")));

        // A valid file that serves nothing is not usable either.
        QVERIFY(writeOther("<settings/>"));
        QCOMPARE(kiv.runOnce({QStringLiteral("--check-config"), other}, &out, &err), 1);

        QCOMPARE(kiv.runOnce({QStringLiteral("--version")}, &out, &err), 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^Kiv 8520( \\(commit [0-9a-f]+(-dirty)?\\))?\n?$")).match(out).hasMatch(),
                 qPrintable(out));
    }

    void garbageOnTheControlChannelIsRefused()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString(), true));
        QVERIFY(kiv.start());
        QVERIFY(waitUntilRunning(kiv));
        QString socketPath;
        const QString name = ControlChannel::socketName(QFileInfo(kiv.executable()).canonicalFilePath());
        for (const QString &dir : ControlChannel::runtimeDirs()) {
            if (QFileInfo::exists(dir + QLatin1Char('/') + name))
                socketPath = dir + QLatin1Char('/') + name;
        }
        QVERIFY(!socketPath.isEmpty());

        QLocalSocket socket;
        socket.connectToServer(socketPath);
        QVERIFY(socket.waitForConnected(10000));
        socket.write(QByteArray("\x01\xff garbage\n") + QByteArray("again\n"));
        QTRY_VERIFY_WITH_TIMEOUT(socket.canReadLine() && socket.bytesAvailable() > 0, 10000);
        QVERIFY(socket.readLine().startsWith("error"));
        // One line in the log for the connection, however many it sends.
        QVERIFY(kiv.waitForLine(QStringLiteral("WARN  [Kiv] Control channel: refused request")));
        QTRY_VERIFY_WITH_TIMEOUT(socket.canReadLine(), 10000);
        QVERIFY(socket.readLine().startsWith("error"));

        QLocalSocket big;
        big.connectToServer(socketPath);
        QVERIFY(big.waitForConnected(10000));
        big.write(QByteArray(100000, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(big.state() == QLocalSocket::UnconnectedState, 10000);
        QVERIFY(kiv.waitForLine(QStringLiteral("refused a request longer than")));

        // The channel still answers.
        QCOMPARE(runningPid(kiv), kiv.pid());
        QCOMPARE(kiv.countLines(QStringLiteral("Control channel:")), 2);
        QCOMPARE(kiv.stop(), 0);
    }

    void journalGetsPrioritiesAndTheServiceLines_data()
    {
        QTest::addColumn<QString>("journal");
        QTest::addColumn<bool>("otherInfo");
        QTest::newRow("default") << QString() << false;
        QTest::newRow("info") << QStringLiteral("<journal>info</journal>") << true;
    }

    void journalGetsPrioritiesAndTheServiceLines()
    {
        QFETCH(QString, journal);
        QFETCH(bool, otherInfo);
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QString settings = kiv.settingsXml(serialDevice(QStringLiteral("j"), QStringLiteral("/nonexistent/j")));
        settings.replace(QLatin1String("</dir></logs>"), QLatin1String("</dir>") + journal + QLatin1String("</logs>"));
        QVERIFY(kiv.writeSettings(settings));
        // Standard output is a file that JOURNAL_STREAM names, as systemd does.
        const QString outPath = kiv.filePath(QStringLiteral("journal.txt"));
        QFile out(outPath);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.close();
        struct stat st{};
        QCOMPARE(::stat(QFile::encodeName(outPath).constData(), &st), 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
        kiv.process().setProcessEnvironment(env);
        kiv.process().setStandardOutputFile(outPath, QIODevice::Append);
        QVERIFY(kiv.start());
        QTRY_VERIFY_WITH_TIMEOUT(kiv.readLog().contains(QLatin1String("[ComProxy3-j] Open")), 30000);
        QCOMPARE(kiv.stop(), 0);

        QVERIFY(out.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(out.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY(lines.contains(QStringLiteral("<6>[Kiv] Start service Kiv (v8520)")));
        QVERIFY(lines.contains(QStringLiteral("<6>[Kiv] Register Dalv worker [j]")));
        bool sawOtherInfo = false;
        for (const QString &line : lines) {
            QVERIFY2(QRegularExpression(QStringLiteral("^<[3467]>\\[")).match(line).hasMatch(), qPrintable(line));
            sawOtherInfo = sawOtherInfo || line.startsWith(QLatin1String("<6>[ComProxy3-j]"));
        }
        QCOMPARE(sawOtherInfo, otherInfo);
        // The log file keeps everything, time stamps included.
        QVERIFY(QRegularExpression(QStringLiteral("\\d INFO  \\[ComProxy3-j\\] Open")).match(kiv.readLog()).hasMatch());
    }

    void daemonStartsAndTerminateStopsIt()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString(), true));
        QString out, err;
        // The parent returns only once the daemon runs.
        QCOMPARE(kiv.runOnce({}, &out, &err), 0);
        const qint64 pid = runningPid(kiv);
        QVERIFY2(pid > 0, qPrintable(err));
        auto cleanup = qScopeGuard([pid] {
            if (!processGone(pid))
                ::kill(pid_t(pid), SIGKILL);
        });

        // Detached: its own session, working directory "/".
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget(), QStringLiteral("/"));
        QCOMPARE(::getsid(pid_t(pid)), pid_t(::getpgid(pid_t(pid))));
        QVERIFY(::getsid(pid_t(pid)) != ::getsid(0));

        // A second start is refused while it runs.
        QCOMPARE(kiv.runOnce({}, &out, &err), 1);
        QVERIFY2(err.contains(QLatin1String("already running")), qPrintable(err));

        QCOMPARE(kiv.runOnce({QStringLiteral("-terminate")}, &out, &err), 0);
        QVERIFY2(out.contains(QLatin1String("Kiv (v8520) stopped")), qPrintable(out + err));
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 10000);
        QCOMPARE(runningPid(kiv), 0);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
