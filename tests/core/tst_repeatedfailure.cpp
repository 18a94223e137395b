// A failure that repeats on a retry timer is told as one episode.
#include "core/repeatedfailure.h"

#include <QtTest>

class TestRepeatedFailure : public QObject
{
    Q_OBJECT
private slots:
    void episode_data()
    {
        // Events: "f@T" a failure at minute T, "s@T" a success; what each says:
        // F first, R reminder, - nothing, E the end, . no end (none running).
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("said");
        QTest::newRow("absent then found") << "f@0 f@1 f@2 s@3" << "F--E";
        QTest::newRow("one reminder an hour") << "f@0 f@30 f@59 f@60 f@61 f@119 f@120" << "F--R--R";
        QTest::newRow("success alone says nothing") << "s@0 s@1" << "..";
        QTest::newRow("a new episode starts over") << "f@0 s@1 f@2 f@3 s@70" << "FEF-E";
    }

    void episode()
    {
        QFETCH(QString, events);
        QFETCH(QString, said);
        qint64 now = 0;
        RepeatedFailure failure(3600 * 1000, [&now] { return now; });
        QString out;
        for (const QString &event : events.split(QLatin1Char(' '))) {
            now = event.mid(2).toLongLong() * 60 * 1000;
            if (event.startsWith(QLatin1Char('s'))) {
                out += failure.succeed() ? QLatin1Char('E') : QLatin1Char('.');
                continue;
            }
            switch (failure.fail(QStringLiteral("Not found device 1-7"))) {
            case RepeatedFailure::Say::First: out += QLatin1Char('F'); break;
            case RepeatedFailure::Say::Reminder: out += QLatin1Char('R'); break;
            case RepeatedFailure::Say::Nothing: out += QLatin1Char('-'); break;
            }
        }
        QCOMPARE(out, said);
    }

    void wording()
    {
        qint64 now = QDateTime(QDate(2026, 1, 2), QTime(14, 5)).toMSecsSinceEpoch();
        RepeatedFailure failure(3600 * 1000, [&now] { return now; });
        for (int i = 0; i < 4; ++i)
            failure.fail(QStringLiteral("x"));
        QCOMPARE(failure.reminderText(QStringLiteral("Not found device 1-7")),
                 QStringLiteral("Not found device 1-7 still failing: 4 attempts since 14:05"));
        now += (3 * 3600 + 12 * 60 + 30) * 1000;
        QVERIFY(failure.succeed());
        QCOMPARE(failure.endText(QStringLiteral("Device 1-7")), QStringLiteral("Device 1-7 found after 4 attempts, absent 3h12m"));
        QCOMPARE(RepeatedFailure::span(41 * 1000), QStringLiteral("41s"));
        QCOMPARE(RepeatedFailure::span(5 * 60 * 1000 + 999), QStringLiteral("5m"));
    }
};

QTEST_GUILESS_MAIN(TestRepeatedFailure)
#include "tst_repeatedfailure.moc"
