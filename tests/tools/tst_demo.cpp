// Runs the demonstration of scripts/run against the built service and
// simulator: a handful of documents over each exchange protocol must make
// the whole trip (device, serial proxy, OFD worker, TCP, stand-in server
// and back) intact.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString buildDir()
{
    // KIV_EXECUTABLE is <build>/src/kiv.
    return QFileInfo(QStringLiteral(KIV_EXECUTABLE)).absoluteDir().absoluteFilePath(QStringLiteral(".."));
}

struct Run
{
    int exitCode = -1;
    QString output;
    QString workDir;

    QString file(const QString &name) const
    {
        QFile f(workDir + QLatin1Char('/') + name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
};

Run runScript(const QTemporaryDir &home, const QStringList &arguments, int timeoutMs = 240000)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KIV_RUN_BUILD_DIR"), buildDir());
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("TMPDIR"), home.path());
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(KIV_SOURCE_DIR "/scripts/run"), arguments);
    Run run;
    if (!process.waitForStarted(30000))
        return run;
    if (!process.waitForFinished(timeoutMs)) {
        process.terminate();
        process.waitForFinished(30000);
    }
    run.output = QString::fromUtf8(process.readAll());
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const auto match = QRegularExpression(QStringLiteral("Demonstration in (\\S+)")).match(run.output);
    if (match.hasMatch())
        run.workDir = match.captured(1);
    return run;
}

} // namespace

class TestDemo : public QObject
{
    Q_OBJECT
private slots:
    void everyDocumentMakesTheRoundTrip_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::newRow("protocol 3") << QStringLiteral("3");
        QTest::newRow("protocol 2") << QStringLiteral("2");
    }

    void everyDocumentMakesTheRoundTrip()
    {
        QFETCH(QString, protocol);
        QTemporaryDir home;
        QVERIFY(home.isValid());
        const Run run = runScript(home, {QStringLiteral("--demo"), QStringLiteral("--protocol"), protocol,
                                         QStringLiteral("--documents"), QStringLiteral("3")});
        const QString simulator = run.file(QStringLiteral("devsim.out"));
        QVERIFY2(run.exitCode == 0, qPrintable(run.output + simulator));
        QVERIFY2(simulator.contains(QStringLiteral("exchange protocol ") + protocol), qPrintable(simulator));
        QVERIFY2(simulator.contains(QRegularExpression(QStringLiteral("documents sent: +3 of 3"))), qPrintable(simulator));
        QVERIFY2(simulator.contains(QRegularExpression(QStringLiteral("replies intact: +3 of 3"))), qPrintable(simulator));
        QVERIFY2(simulator.contains(QRegularExpression(QStringLiteral("application commands: +3 of 3"))), qPrintable(simulator));
        QVERIFY(simulator.contains(QStringLiteral("Result: OK")));
        QVERIFY(run.output.contains(QStringLiteral("Demonstration passed")));

        // The service really did the work: its log and the device's debug
        // log are where the demonstration says.
        const QString kivLog = run.file(QStringLiteral("logs/Kiv.log"));
        QVERIFY2(kivLog.contains(QStringLiteral("Register Dalv worker [devsim]")), qPrintable(kivLog.left(2000)));
        QVERIFY(kivLog.contains(QStringLiteral("Connect to 127.0.0.1:")));
        QVERIFY(run.file(QStringLiteral("kiv.out")).contains(QStringLiteral("[Kiv]")));
        const QString debugLog = run.file(QStringLiteral("logs/Debug.log"));
        QVERIFY2(debugLog.contains(QStringLiteral("Начало передачи сообщения в ФН")), qPrintable(debugLog.left(2000)));
        QVERIFY(run.output.contains(QStringLiteral("Service log directory: ") + run.workDir + QStringLiteral("/logs")));
    }

    void badInputIsRefusedClearly()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());

        QTcpServer occupant;
        QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
        Run run = runScript(home, {QStringLiteral("--demo"), QStringLiteral("--port"), QString::number(occupant.serverPort())}, 60000);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.output.contains(QStringLiteral("in use")), qPrintable(run.output));

        run = runScript(home, {QStringLiteral("--protocol"), QStringLiteral("4")}, 60000);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.output.contains(QStringLiteral("--protocol must be 2 or 3")), qPrintable(run.output));

        // A configuration where the service looks that names nothing usable.
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral(".morv/Kiv")));
        QFile config(home.path() + QStringLiteral("/.morv/Kiv/settings.xml"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("<settings><device type=\"dalv\"><id>x</id><dev><port>/nonexistent/tty</port></dev></device></settings>");
        config.close();
        run = runScript(home, {}, 60000);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.output.contains(QStringLiteral("names no device the service can serve")), qPrintable(run.output));
        QVERIFY(run.output.contains(QStringLiteral("cannot be served")));
    }
};

QTEST_GUILESS_MAIN(TestDemo)
#include "tst_demo.moc"
