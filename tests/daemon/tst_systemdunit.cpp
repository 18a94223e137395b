// The systemd unit written by "-i" and removed by "-u", in a temporary
// directory standing in for /etc/systemd/system.
#include "daemon/systemdunit.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestSystemdUnit : public QObject
{
    Q_OBJECT
    QString error;
    QStringList notes;

private slots:
    void init() { error.clear(); notes.clear(); }

    void installWritesUnitThatRunsForeground()
    {
        QTemporaryDir dir;
        SystemdUnit unit(QStringLiteral("kiv"), QStringLiteral("Kiv (v8520)"), QStringLiteral("/opt/kiv/bin/kiv"),
                         dir.path(), false);
        QVERIFY(!unit.isInstalled());
        QVERIFY2(unit.install(QString(), true, &error, &notes), qPrintable(error));
        QVERIFY(unit.isInstalled());
        QCOMPARE(unit.path(), dir.filePath(QStringLiteral("kiv.service")));
        QFile file(unit.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        const QStringList lines = text.split(QLatin1Char('\n'));
        QVERIFY(lines.contains(QStringLiteral("ExecStart=/opt/kiv/bin/kiv -e")));
        QVERIFY(lines.contains(QStringLiteral("Description=Kiv (v8520)")));
        QVERIFY(lines.contains(QStringLiteral("WantedBy=multi-user.target")));
        QVERIFY(lines.contains(QStringLiteral("ExecReload=/bin/kill -HUP $MAINPID")));
        for (const char *line : {"Type=notify", "NotifyAccess=main", "WatchdogSec=30s", "TimeoutStartSec=60s"})
            QVERIFY2(lines.contains(QLatin1String(line)), line);
        QVERIFY(!text.contains(QLatin1String("User=")));
        QVERIFY(notes.isEmpty());

        // Installing again replaces the unit, now with an account.
        QVERIFY2(unit.install(QStringLiteral("nobody"), true, &error, &notes), qPrintable(error));
        file.close();
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')).contains(QStringLiteral("User=nobody")));

        QVERIFY2(unit.uninstall(&error, &notes), qPrintable(error));
        QVERIFY(!unit.isInstalled());
        // Nothing left to remove is an error that says so.
        QVERIFY(!unit.uninstall(&error, &notes));
        QVERIFY(error.contains(QLatin1String("not installed")));
    }

    void unusableAccountIsRefused_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("message");
        QTest::newRow("newline") << QStringLiteral("nobody\nExecStartPre=/bin/sh") << QStringLiteral("control characters");
        QTest::newRow("blank") << QStringLiteral("no body") << QStringLiteral("blanks");
        QTest::newRow("tab") << QStringLiteral("nobody\t") << QStringLiteral("blanks");
        QTest::newRow("missing") << QStringLiteral("kiv-no-such-account") << QStringLiteral("no account");
    }

    void unusableAccountIsRefused()
    {
        QFETCH(QString, account);
        QFETCH(QString, message);
        QTemporaryDir dir;
        SystemdUnit unit(QStringLiteral("kiv"), QStringLiteral("Kiv"), QStringLiteral("/bin/kiv"), dir.path(), false);
        QVERIFY(!unit.install(account, true, &error, &notes));
        QVERIFY2(error.contains(message), qPrintable(error));
        QVERIFY(!unit.isInstalled());
        QVERIFY(SystemdUnit::accountProblem(QStringLiteral("root")).isEmpty());
    }

    void packagedUnitIsNotShadowed()
    {
        QTemporaryDir dir;
        QTemporaryDir packaged;
        SystemdUnit unit(QStringLiteral("kiv"), QStringLiteral("Kiv"), QStringLiteral("/bin/kiv"), dir.path(), false);
        unit.setPackagedUnitDirs({packaged.filePath(QStringLiteral("none")), packaged.path()});
        QVERIFY(unit.packagedUnit().isEmpty());
        QVERIFY(unit.activeUnit().isEmpty());
        QFile file(packaged.filePath(QStringLiteral("kiv.service")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QCOMPARE(unit.packagedUnit(), file.fileName());
        QCOMPARE(unit.activeUnit(), file.fileName());
        QVERIFY(!unit.install(QString(), true, &error, &notes));
        QVERIFY2(error.contains(QLatin1String("systemctl edit kiv.service")), qPrintable(error));
        QVERIFY(!unit.isInstalled());
        // One in the administrator's directory wins, as it does for systemd.
        QFile own(unit.path());
        QVERIFY(own.open(QIODevice::WriteOnly));
        own.close();
        QCOMPARE(unit.activeUnit(), unit.path());
    }

    void executablePathIsQuotedForSystemd()
    {
        SystemdUnit unit(QStringLiteral("kiv"), QStringLiteral("Kiv"), QStringLiteral("/opt/my kiv/100%/kiv"),
                         QStringLiteral("/nonexistent"), false);
        QVERIFY(unit.text().contains(QLatin1String("ExecStart=\"/opt/my kiv/100%%/kiv\" -e\n")));
    }

    void installFailsClearlyWhereItCannotWrite()
    {
        QTemporaryDir dir;
        SystemdUnit missing(QStringLiteral("kiv"), QStringLiteral("Kiv"), QStringLiteral("/bin/kiv"),
                            dir.filePath(QStringLiteral("no/such/dir")), false);
        QVERIFY(!missing.install(QString(), true, &error, &notes));
        QVERIFY2(error.contains(QLatin1String("does not exist")), qPrintable(error));

        // A directory where the unit file belongs cannot be replaced.
        SystemdUnit blocked(QStringLiteral("kiv"), QStringLiteral("Kiv"), QStringLiteral("/bin/kiv"), dir.path(),
                            false);
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("kiv.service")));
        QVERIFY(!blocked.install(QString(), true, &error, &notes));
        QVERIFY2(error.contains(blocked.path()), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestSystemdUnit)
#include "tst_systemdunit.moc"
