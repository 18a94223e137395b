#include "service/iworker.h"

#include <QtTest>

class TestFramework : public QObject
{
    Q_OBJECT
private slots:
    void hexDumpFormats()
    {
        QCOMPARE(hexDump(QByteArray::fromHex("0aff")), QStringLiteral("0A FF (2 bytes)"));
        QCOMPARE(hexDump(QByteArray(1, '\0')), QStringLiteral("00 (1 bytes)"));
        QCOMPARE(hexDump(QByteArray()), QStringLiteral(" (0 bytes)"));
    }
};

QTEST_GUILESS_MAIN(TestFramework)
#include "tst_framework.moc"
