// The built service under a stand-in for the service manager: a datagram
// socket named in NOTIFY_SOCKET records what the service tells it.

#include "kivrun.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QtTest>

#include <csignal>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kWait = 30000;

struct Message
{
    QByteArray text;
    qint64 at = 0; // ms since the listener was made
};

class NotifyListener
{
public:
    explicit NotifyListener(const QString &path)
    {
        m_clock.start();
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            char buffer[4096];
            ssize_t n;
            while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) >= 0)
                messages.append({QByteArray(buffer, int(n)), m_clock.elapsed()});
        });
    }
    ~NotifyListener()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isValid() const { return m_notifier != nullptr; }

    // Index of the first message from `from` on that starts with prefix, -1 if none came in time.
    int waitFor(const QByteArray &prefix, int from = 0, int timeoutMs = kWait)
    {
        int found = -1;
        const bool came = QTest::qWaitFor(
            [&] {
                for (int i = from; i < messages.size() && found < 0; ++i) {
                    if (messages[i].text.startsWith(prefix))
                        found = i;
                }
                return found >= 0;
            },
            timeoutMs);
        return came ? found : -1;
    }
    int count(const QByteArray &text, int from, int to) const
    {
        int n = 0;
        for (int i = from; i < to && i < messages.size(); ++i)
            n += messages[i].text == text;
        return n;
    }

    QList<Message> messages;

private:
    QElapsedTimer m_clock;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

class TestNotify : public QObject
{
    Q_OBJECT

private:
    // A copy of kiv with the simulated libusb, one USB device "dev0" on the
    // bridge, and the manager's variables set.
    bool prepare(KivRun &kiv, bool present)
    {
        if (!kiv.isValid() || !kiv.copyBesideExecutable(SIMUSB_LIBRARY, QStringLiteral("libusb-1.0.so.0")))
            return false;
        QDir().mkpath(kiv.filePath("sock"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NOTIFY_SOCKET", kiv.filePath("notify"));
        env.insert("WATCHDOG_USEC", "1000000");
        env.insert("SIMUSB_BRIDGE_DIR", kiv.filePath("sock"));
        env.insert("SIMUSB_DEVICES", present ? "1-1" : "!1-1");
        kiv.process().setProcessEnvironment(env);
        return kiv.writeSettingsBody("<device><id>dev0</id><port>1-1</port></device>");
    }

private slots:
    void readyWatchdogReloadStop()
    {
        KivRun kiv;
        QVERIFY(prepare(kiv, false));
        NotifyListener manager(kiv.filePath("notify"));
        QVERIFY(manager.isValid());
        QVERIFY(kiv.start());

        // An absent device does not hold readiness back; the control
        // channel answers by then.
        const int ready = manager.waitFor("READY=1");
        QVERIFY(ready >= 0);
        // Its first open attempt may not have ended yet.
        QVERIFY2(QRegularExpression("^READY=1\nSTATUS=1 device: 1 (opening|absent) \\(dev0\\)$")
                     .match(QString::fromUtf8(manager.messages[ready].text))
                     .hasMatch(),
                 manager.messages[ready].text.constData());
        QString out;
        QCOMPARE(kiv.runOnce({"-v"}, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("running: yes (pid %1)").arg(kiv.pid())), qPrintable(out));

        // Fed every half of WATCHDOG_USEC, never sooner than asked nor later
        // than the manager's limit.
        int first = manager.waitFor("WATCHDOG=1", ready + 1);
        QVERIFY(first >= 0);
        int last = first;
        for (int i = 0; i < 4; ++i) {
            last = manager.waitFor("WATCHDOG=1", last + 1);
            QVERIFY(last >= 0);
        }
        const qint64 span = manager.messages[last].at - manager.messages[first].at;
        QVERIFY2(span >= 4 * 450 && span <= 4 * 1000, qPrintable(QString::number(span)));

        ::kill(pid_t(kiv.pid()), SIGHUP);
        const int reloading = manager.waitFor("RELOADING=1", last + 1);
        QVERIFY(reloading >= 0);
        QVERIFY(manager.messages[reloading].text.contains("\nMONOTONIC_USEC="));
        const int reloaded = manager.waitFor("READY=1", reloading + 1);
        QVERIFY(reloaded >= 0);
        QVERIFY(manager.messages[reloaded].text.contains("\nSTATUS=Reload configuration file "));
        QVERIFY(manager.messages[reloaded].text.contains("unchanged 1"));

        ::kill(pid_t(kiv.pid()), SIGTERM);
        QVERIFY(manager.waitFor("STOPPING=1", reloaded + 1) >= 0);
        QCOMPARE(kiv.waitForExit(kWait), 0);
    }

    void stalledWorkerStarvesWatchdog()
    {
        KivRun kiv;
        QVERIFY(prepare(kiv, true));
        // The device's end: accepts the connection and stays silent, so
        // that reads end by their time-out.
        QLocalServer device;
        QVERIFY(device.listen(kiv.filePath("sock/dev0")));
        NotifyListener manager(kiv.filePath("notify"));
        QVERIFY(manager.isValid());
        QVERIFY(kiv.start());
        QVERIFY(manager.waitFor("READY=1") >= 0);
        QVERIFY(manager.waitFor("STATUS=1 device: 1 handshake (dev0)") >= 0);

        // A read that hangs past its time-out stalls the read thread.
        QFile hold(kiv.filePath("sock/hold0"));
        QVERIFY(hold.open(QIODevice::WriteOnly));
        hold.close();
        const int stalled = manager.waitFor("STATUS=STALLED USB-dev0-read; 1 device: 1 handshake (dev0)");
        QVERIFY(stalled >= 0);
        QVERIFY(kiv.waitForLine(QRegularExpression("ERROR \\[Kiv\\] Worker thread USB-dev0-read stalled: "
                                                   "no sign of life for \\d+ s; the service manager's watchdog")));
        // Three periods of the watchdog with the stall in place.
        QTest::qWait(1500);
        QVERIFY(hold.remove());

        const int recovered = manager.waitFor("STATUS=1 device: 1 handshake (dev0)", stalled + 1);
        QVERIFY(recovered >= 0);
        QCOMPARE(manager.count("WATCHDOG=1", stalled, recovered), 0);
        QVERIFY(kiv.waitForLine("INFO  [Kiv] Worker thread USB-dev0-read answers again after "));
        QVERIFY(manager.waitFor("WATCHDOG=1", recovered + 1) >= 0);
        QCOMPARE(kiv.stop(kWait), 0);
    }
};

QTEST_GUILESS_MAIN(TestNotify)
#include "tst_notify.moc"
