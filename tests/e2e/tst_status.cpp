// "kiv -s" as an operator and a metrics collector use it: every output
// form and every exit code.
#include "kivrun.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Devices whose ports do not exist: they stay absent.
const char *const kAbsentDevices =
    "<device><id>u1</id><port>9-9.9</port></device>"
    "<device type=\"dalv\"><id>c2</id><protocol>2</protocol>"
    "<app><port>/nonexistent/app2</port></app><dev><port>/nonexistent/dev2</port></dev></device>";

bool running(const KivRun &kiv)
{
    return QTest::qWaitFor([&] {
        QString out;
        return kiv.runOnce({QStringLiteral("-v")}, &out) == 0 && out.contains(QLatin1String("running: yes"));
    }, 30000);
}

QSet<QString> keys(const QJsonObject &o)
{
    const QStringList k = o.keys();
    return QSet<QString>(k.begin(), k.end());
}

QSet<QString> set(std::initializer_list<const char *> names)
{
    QSet<QString> out;
    for (const char *n : names)
        out.insert(QLatin1String(n));
    return out;
}

// Checks the text exposition format: every sample belongs to a family
// with a TYPE given before it, counters end in _total, no time stamps.
QString expositionProblem(const QString &text)
{
    QHash<QString, QString> types;
    QSet<QString> helped;
    const QRegularExpression sample(QStringLiteral("^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{[^}]*\\})? (\\S+)$"));
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("# HELP "))) {
            helped.insert(line.section(QLatin1Char(' '), 2, 2));
            continue;
        }
        if (line.startsWith(QLatin1String("# TYPE "))) {
            const QString name = line.section(QLatin1Char(' '), 2, 2);
            const QString type = line.section(QLatin1Char(' '), 3, 3);
            if (types.contains(name))
                return QStringLiteral("TYPE twice: ") + line;
            if (type == QLatin1String("counter") && !name.endsWith(QLatin1String("_total")))
                return QStringLiteral("counter without _total: ") + line;
            types.insert(name, type);
            continue;
        }
        const QRegularExpressionMatch m = sample.match(line);
        if (!m.hasMatch())
            return QStringLiteral("not a sample (or has a time stamp): ") + line;
        QString family = m.captured(1);
        for (const char *suffix : {"_bucket", "_sum", "_count"}) {
            if (!family.endsWith(QLatin1String(suffix)))
                continue;
            const QString base = family.chopped(int(qstrlen(suffix)));
            if (types.value(base) == QLatin1String("histogram"))
                family = base;
        }
        if (!types.contains(family))
            return QStringLiteral("sample without TYPE: ") + line;
        if (!helped.contains(family))
            return QStringLiteral("sample without HELP: ") + line;
        bool number = false;
        m.captured(3).toDouble(&number);
        if (!number && m.captured(3) != QLatin1String("+Inf"))
            return QStringLiteral("not a number: ") + line;
    }
    return QString();
}

} // namespace

class TestStatus : public QObject
{
    Q_OBJECT
private slots:
    void noService()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QString out, err;
        QCOMPARE(kiv.runOnce({QStringLiteral("-s")}, &out, &err), 1);
        QVERIFY2(err.contains(QLatin1String("not running")), qPrintable(err));
        // A collector still gets a file that says the service is down.
        const QString metrics = kiv.filePath(QStringLiteral("kiv.prom"));
        QCOMPARE(kiv.runOnce({QStringLiteral("-status"), QStringLiteral("--prometheus"), QStringLiteral("-o"), metrics}), 1);
        QFile file(metrics);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY2(text.contains(QLatin1String("\nkiv_up 0\n")), qPrintable(text));
        QCOMPARE(expositionProblem(text), QString());
        struct stat st{};
        QCOMPARE(::stat(QFile::encodeName(metrics).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0644);
        // Usage errors come before any request.
        QCOMPARE(kiv.runOnce({QStringLiteral("-s"), QStringLiteral("--json"), QStringLiteral("--prometheus")}), 2);
        QCOMPARE(kiv.runOnce({QStringLiteral("-s"), QStringLiteral("-o")}), 2);
    }

    void noDeviceIsHealthy()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString(), true));
        QVERIFY(kiv.start());
        QVERIFY(running(kiv));
        QString out;
        QCOMPARE(kiv.runOnce({QStringLiteral("-s")}, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("pid %1").arg(kiv.pid())), qPrintable(out));
        QVERIFY(out.contains(QLatin1String("ID  KIND  PORT  STATE")));
        QCOMPARE(kiv.stop(), 0);
    }

    void absentDevices()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString::fromLatin1(kAbsentDevices)));
        QVERIFY(kiv.start());
        QVERIFY(running(kiv));

        // The table: both devices, absent once their first open failed.
        QString out, err;
        QVERIFY(QTest::qWaitFor([&] {
            return kiv.runOnce({QStringLiteral("-s")}, &out) == 3
                   && out.count(QRegularExpression(QStringLiteral("\\n(u1|c2) +(usb|p2) +\\S+ +absent "))) == 2;
        }, 30000));
        QVERIFY2(out.contains(QStringLiteral("settings: %1").arg(kiv.settingsPath())), qPrintable(out));

        // One device in detail, with its failure as a state.
        QCOMPARE(kiv.runOnce({QStringLiteral("-s"), QStringLiteral("c2")}, &out), 3);
        QVERIFY2(out.startsWith(QLatin1String("device c2 (p2, port /nonexistent/dev2)")), qPrintable(out));
        QVERIFY(out.contains(QRegularExpression(QStringLiteral("failing: +\\d+ attempts since "))));
        QVERIFY(!out.contains(QLatin1String("device u1")));

        // An unknown ID is named and nothing else is printed.
        QCOMPARE(kiv.runOnce({QStringLiteral("-s"), QStringLiteral("c2"), QStringLiteral("nope")}, &out, &err), 2);
        QVERIFY2(err.contains(QLatin1String("nope")), qPrintable(err));
        QVERIFY(out.isEmpty());

        // JSON: every key there, times in UTC with milliseconds.
        QCOMPARE(kiv.runOnce({QStringLiteral("-s"), QStringLiteral("--json")}, &out), 3);
        const QJsonObject doc = QJsonDocument::fromJson(out.toUtf8()).object();
        QCOMPARE(doc.value(QStringLiteral("schema")).toInt(), 1);
        const QJsonObject service = doc.value(QStringLiteral("service")).toObject();
        QVERIFY(keys(service).contains(set({"version", "commit", "pid", "started", "settings", "hotplug", "reload",
                                            "log_lines_lost"})));
        QCOMPARE(keys(service.value(QStringLiteral("reload")).toObject()), set({"at", "ok", "text"}));
        QCOMPARE(service.value(QStringLiteral("pid")).toInteger(), kiv.pid());
        const QRegularExpression rfc3339(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"));
        QVERIFY(rfc3339.match(service.value(QStringLiteral("started")).toString()).hasMatch());
        const QJsonArray devices = doc.value(QStringLiteral("devices")).toArray();
        QCOMPARE(devices.size(), 2);
        for (const QJsonValue &value : devices) {
            const QJsonObject d = value.toObject();
            QVERIFY(keys(d).contains(set({"id", "kind", "port", "state", "since", "stalled", "last_frame", "counters",
                                          "last_exchange", "channels", "last_error"})));
            QCOMPARE(keys(d.value(QStringLiteral("counters")).toObject()),
                     set({"sessions_ok", "sessions_incomplete", "sessions_failed", "bytes_to_ofd", "bytes_from_ofd",
                          "bytes_undelivered", "frames_dropped", "port_reopens"}));
            QVERIFY(keys(d.value(QStringLiteral("last_exchange")).toObject()).contains(set({"at", "result", "seconds", "server"})));
            QVERIFY(d.value(QStringLiteral("last_exchange")).toObject().value(QStringLiteral("at")).isNull());
            for (const QJsonValue &ch : d.value(QStringLiteral("channels")).toArray())
                QCOMPARE(keys(ch.toObject()), set({"ch", "state", "server", "addr", "opened", "sent", "received",
                                                   "queued_to_device", "queued_to_ofd", "grant"}));
            QCOMPARE(d.value(QStringLiteral("state")).toString(), QStringLiteral("absent"));
            QVERIFY(rfc3339.match(d.value(QStringLiteral("since")).toString()).hasMatch());
            QVERIFY(d.value(QStringLiteral("last_error")).toObject().value(QStringLiteral("text")).isString());
        }

        // The metrics, through a file as a collector reads them.
        const QString metrics = kiv.filePath(QStringLiteral("kiv.prom"));
        QCOMPARE(kiv.runOnce({QStringLiteral("-s"), QStringLiteral("--prometheus"), QStringLiteral("-o"), metrics}, &out), 3);
        QVERIFY(out.isEmpty());
        QFile file(metrics);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QCOMPARE(expositionProblem(text), QString());
        for (const char *wanted : {"\nkiv_up 1\n", "\nkiv_device_state{device=\"u1\",state=\"absent\"} 1\n",
                                   "\nkiv_device_state{device=\"u1\",state=\"ready\"} 0\n",
                                   "\nkiv_ofd_sessions_total{device=\"c2\",result=\"ok\"} 0\n",
                                   "\nkiv_ofd_session_duration_seconds_bucket{device=\"c2\",le=\"+Inf\"} 0\n"})
            QVERIFY2(text.contains(QLatin1String(wanted)), wanted);

        // An answer that cannot be written out is no answer.
        QProcess full;
        full.setStandardOutputFile(QStringLiteral("/dev/full"));
        full.start(kiv.executable(), {QStringLiteral("-s")});
        QVERIFY(full.waitForStarted(30000));
        QTRY_VERIFY_WITH_TIMEOUT(full.state() == QProcess::NotRunning, 30000);
        QCOMPARE(full.exitCode(), 1);
        QVERIFY(full.readAllStandardError().contains("cannot write the standard output"));

        QCOMPARE(kiv.stop(), 0);
        // The absent devices said so once each, however often they were tried.
        const QString log = kiv.readLog();
        QCOMPARE(log.count(QLatin1String("ERROR [USB-u1] Not found device 9-9.9")), 1);
        QCOMPARE(log.count(QLatin1String("ERROR [ComProxy2-c2] No such file or directory")), 1);
    }
};

QTEST_GUILESS_MAIN(TestStatus)
#include "tst_status.moc"
