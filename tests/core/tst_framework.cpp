#include "core/eventwait.h"
#include "core/hexdump.h"
#include "core/iportworker.h"
#include "core/iworker.h"

#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>

namespace {

class Receiver : public QObject
{
    Q_OBJECT
public:
    int calls = 0;
public slots:
    void poke() { ++calls; }
};

QStringList methodSignatures(const QMetaObject &meta)
{
    QStringList names;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        names.append(QString::fromLatin1(meta.method(i).methodSignature()));
    return names;
}

} // namespace

class TestFramework : public QObject
{
    Q_OBJECT
private slots:
    void hexDumpFormats()
    {
        QCOMPARE(hexDump(QByteArray::fromHex("0aff")), QStringLiteral("0A FF (2 bytes)"));
        QCOMPARE(hexDump(QByteArray(1, '\0')), QStringLiteral("00 (1 bytes)"));
        QCOMPARE(hexDump(QByteArray()), QStringLiteral(" (0 bytes)"));
        QCOMPARE(hexDump(QByteArray::fromHex("00017f80abff")), QStringLiteral("00 01 7F 80 AB FF (6 bytes)"));
    }

    void eventWaitWithoutConditionDeliversQueuedCalls()
    {
        Receiver receiver;
        QMetaObject::invokeMethod(&receiver, "poke", Qt::QueuedConnection);
        // Zero or less: returns at once, nothing processed.
        QVERIFY(!EventWait::until(0, {}));
        QVERIFY(!EventWait::until(-3, {}));
        QCOMPARE(receiver.calls, 0);

        QElapsedTimer timer;
        timer.start();
        QVERIFY(!EventWait::until(5, {}));
        QVERIFY(timer.elapsed() >= 5);
        QCOMPARE(receiver.calls, 1);
    }

    void eventWaitEndsOnWorkOrDeadline()
    {
        // A call queued from another thread ends the wait as soon as it ran.
        bool arrived = false;
        QObject context;
        QThread sender;
        QObject remote;
        remote.moveToThread(&sender);
        sender.start();
        QTimer::singleShot(20, &remote, [&] {
            QMetaObject::invokeMethod(&context, [&] { arrived = true; }, Qt::QueuedConnection);
        });
        QElapsedTimer timer;
        timer.start();
        QVERIFY(EventWait::until(10000, [&] { return arrived; }));
        QVERIFY(timer.elapsed() < 5000);
        sender.quit();
        sender.wait();

        // Unmet condition: the deadline holds, and the thread sleeps meanwhile.
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        timer.restart();
        QVERIFY(!EventWait::until(200, [] { return false; }));
        QVERIFY(timer.elapsed() >= 200);
        getrusage(RUSAGE_THREAD, &after);
        const auto usec = [](const rusage &r) {
            return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000LL + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
        };
        QVERIFY2(usec(after) - usec(before) < 20000, "a 200 ms wait spun instead of sleeping");
        QVERIFY(after.ru_nvcsw - before.ru_nvcsw < 20);
    }

    void interfacesListOnlyTheirSlots()
    {
        QCOMPARE(methodSignatures(IWorker::staticMetaObject), QStringList({"start()", "stop()"}));
        QCOMPARE(methodSignatures(IPortWorker::staticMetaObject), QStringList({"onOfdDataReceived(QByteArray)"}));
        QCOMPARE(QByteArray(IPortWorker::staticMetaObject.superClass()->className()), QByteArray("IWorker"));
    }
};

QTEST_GUILESS_MAIN(TestFramework)
#include "tst_framework.moc"
