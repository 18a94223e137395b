#include "service/iportworker.h"
#include "service/iworker.h"

#include <QElapsedTimer>
#include <QtTest>

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

    void sleepProcessingEventsDeliversQueuedCalls()
    {
        Receiver receiver;
        QMetaObject::invokeMethod(&receiver, "poke", Qt::QueuedConnection);
        // Zero or less: returns at once, nothing processed.
        sleepProcessingEvents(0);
        sleepProcessingEvents(-3);
        QCOMPARE(receiver.calls, 0);

        QElapsedTimer timer;
        timer.start();
        sleepProcessingEvents(5);
        QVERIFY(timer.elapsed() >= 5);
        QCOMPARE(receiver.calls, 1);
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
