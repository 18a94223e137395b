// One accounting line per OFD session, and the registry's counters, which
// must equal the sums of the lines.
#include "core/settings.h"
#include "ofd/ofdworker.h"
#include "ofdserver.h"
#include "service/devicefeed.h"
#include "service/statusregistry.h"
#include "tlvstream.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <log4cxx/appenderskeleton.h>
#include <log4cxx/logger.h>

namespace {

const int kWait = 30000;

QByteArray frame(quint8 tag, const QByteArray &value = QByteArray())
{
    return TlvStream::frame(tag, value);
}

// "LEVEL|message|journal-mark" of every line.
class Capture : public log4cxx::AppenderSkeleton
{
public:
    void close() override {}
    bool requiresLayout() const override { return false; }
    QString find(const QString &prefix) const
    {
        QMutexLocker locker(&m_mutex);
        for (const QString &line : m_lines) {
            if (line.section(QLatin1Char('|'), 1, 1).startsWith(prefix))
                return line;
        }
        return QString();
    }

protected:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &) override
    {
        log4cxx::LogString mark;
        event->getMDC(LOG4CXX_STR("journal"), mark);
        QMutexLocker locker(&m_mutex);
        m_lines << QStringLiteral("%1|%2|%3")
                       .arg(QString::fromStdString(event->getLevel()->toString()),
                            QString::fromStdString(event->getRenderedMessage()), QString::fromStdString(mark));
    }

private:
    mutable QMutex m_mutex;
    QStringList m_lines;
};

enum Scenario { Complete, PortLost, Stopped, Refused };

} // namespace

class TestSessionAccounting : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir home;
    std::shared_ptr<Capture> capture = std::make_shared<Capture>();

private slots:
    void initTestCase()
    {
        // The worker reads its log directory from the configuration in $HOME.
        QVERIFY(home.isValid());
        qputenv("HOME", home.path().toLocal8Bit());
        QVERIFY(QDir().mkpath(home.path() + "/logs"));
        QVERIFY(QDir().mkpath(home.path() + "/.morv/Kiv"));
        QFile settings(home.path() + "/.morv/Kiv/settings.xml");
        QVERIFY(settings.open(QIODevice::WriteOnly));
        settings.write("<?xml version=\"1.0\"?>\n<settings><logs><dir>" + home.path().toUtf8()
                       + "/logs</dir></logs></settings>\n");
        settings.close();
        log4cxx::Logger::getRootLogger()->addAppender(capture);
    }

    void sessionLine_data()
    {
        QTest::addColumn<int>("scenario");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("result");
        // dev>ofd A/B/C, unacked, ofd>dev D/E/F
        QTest::addColumn<QList<int>>("bytes");
        QTest::newRow("complete") << int(Complete) << "device-close" << "ok" << QList<int>{7, 7, 0, 0, 7, 7, 0};
        QTest::newRow("port lost") << int(PortLost) << "port-lost" << "incomplete" << QList<int>{7, 7, 0, 0, 7, 0, 7};
        QTest::newRow("stopped") << int(Stopped) << "stop" << "incomplete" << QList<int>{7, 7, 0, 0, 7, 0, 7};
        QTest::newRow("refused") << int(Refused) << "connect-failed" << "connect_failed" << QList<int>{0, 0, 0, 0, 0, 0, 0};
    }

    void sessionLine()
    {
        QFETCH(int, scenario);
        QFETCH(QString, end);
        QFETCH(QString, result);
        QFETCH(QList<int>, bytes);
        const QString id = QStringLiteral("acct%1").arg(scenario);

        OfdServer server;
        QVERIFY(server.listen());
        const quint16 port = server.port();
        if (scenario == Refused)
            server.close();

        StatusRegistry registry;
        registry.addDevice(id, QStringLiteral("usb"), QStringLiteral("1-1"));
        DeviceFeed feed(id, &registry);
        auto *worker = new OfdWorker(id);
        feed.attach(nullptr, worker);
        QList<QByteArray> toDevice;
        connect(worker, &OfdWorker::sendData, &feed, [&toDevice](const QByteArray &a) { toDevice.append(a); });
        QThread thread;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker, &OfdWorker::start);
        connect(worker, &OfdWorker::finished, &thread, &QThread::quit);
        connect(worker, &OfdWorker::finished, worker, &QObject::deleteLater);
        thread.start();
        auto send = [worker](const QByteArray &b) {
            QMetaObject::invokeMethod(worker, "onDataReceived", Qt::QueuedConnection, Q_ARG(QByteArray, b));
        };
        auto saw = [&toDevice](const QByteArray &f) { return QTest::qWaitFor([&] { return toDevice.contains(f); }, kWait); };
        auto stopWorker = [&] {
            QMetaObject::invokeMethod(worker, "stop", Qt::QueuedConnection);
            return QTest::qWaitFor([&] { return thread.isFinished(); }, kWait);
        };

        QMetaObject::invokeMethod(worker, "unpause", Qt::QueuedConnection);
        QVERIFY(saw(frame(0x01)));
        send(frame(0x40, "\x02"));
        send(frame(0x60, TlvStream::port(port)) + frame(0x70, "127.0.0.1"));
        if (scenario == Refused) {
            QVERIFY(saw(frame(0x10, QByteArray(1, '\0'))));
        } else {
            QVERIFY(saw(frame(0x10, "\x01")));
            send(frame(0x90, "request"));
            QVERIFY(server.waitForReceived(7, kWait));
            QVERIFY(server.send("answer!"));
            // Told with the coalesced counts: the reply is in.
            QTRY_COMPARE_WITH_TIMEOUT(registry.device(id)->channels[0].read, 7, kWait);
            QVERIFY(registry.device(id)->lastFrameMs > 0);
            if (scenario == Complete) {
                send(frame(0x50, QByteArray(1, char(255))));
                QVERIFY(saw(frame(0x20, "answer!")));
                send(frame(0x80));
            } else if (scenario == PortLost) {
                QMetaObject::invokeMethod(worker, "pause", Qt::QueuedConnection);
            } else {
                QVERIFY(stopWorker());
            }
        }

        QString line;
        QVERIFY(QTest::qWaitFor([&] { return !(line = capture->find("session " + id + "/1 closed: ")).isEmpty(); }, kWait));
        const QRegularExpression re(QStringLiteral(
            "^(\\w+)\\|session \\S+ closed: ch=0 server=127\\.0\\.0\\.1:(\\d+) addr=(\\S+) dur=\\d+\\.\\d{3} "
            "connect=(\\S+) end=(\\S+) dev>ofd=(\\d+)/(\\d+)/(\\d+) unacked=(\\d+) ofd>dev=(\\d+)/(\\d+)/(\\d+) "
            "result=(\\S+)\\|info$"));
        const QRegularExpressionMatch m = re.match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        QCOMPARE(m.captured(1), result == QLatin1String("ok") ? QStringLiteral("INFO") : QStringLiteral("WARN"));
        QCOMPARE(m.captured(2).toInt(), int(port));
        QCOMPARE(m.captured(3) == QLatin1String("-"), scenario == Refused);
        QCOMPARE(m.captured(4) == QLatin1String("-"), scenario == Refused);
        QCOMPARE(m.captured(5), end);
        QList<int> counted;
        for (int i = 6; i <= 12; ++i)
            counted << m.captured(i).toInt();
        QCOMPARE(counted, bytes);
        QCOMPARE(m.captured(13), result);

        // The registry's counters are the line's sums.
        QTRY_COMPARE_WITH_TIMEOUT(registry.device(id)->lastSession.number, 1, kWait);
        const StatusRegistry::Counters c = registry.device(id)->counters();
        QCOMPARE(c.sessionsOk + c.sessionsIncomplete + c.sessionsFailed, 1);
        QCOMPARE(c.sessionsOk == 1, result == QLatin1String("ok"));
        QCOMPARE(c.sessionsFailed == 1, result == QLatin1String("connect_failed"));
        QCOMPARE(c.bytesToOfd, qint64(bytes[1]));
        QCOMPARE(c.bytesFromOfd, qint64(bytes[4]));
        QCOMPARE(c.bytesUndelivered, qint64(bytes[2] + bytes[6]));
        if (scenario != Stopped)
            QVERIFY(stopWorker());
    }
};

QTEST_GUILESS_MAIN(TestSessionAccounting)
#include "tst_sessionaccounting.moc"
