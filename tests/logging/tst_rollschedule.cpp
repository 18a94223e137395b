#include "logging/logdateformat.h"
#include "logging/rollschedule.h"

#include <QRegularExpression>
#include <QTest>

using kiv::RollSchedule;

class TestRollSchedule : public QObject
{
    Q_OBJECT

private slots:
    void classifiesPatterns_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("frequency"); // -1: no frequency
        QTest::newRow("minutely") << "'.'yyyy-MM-dd-hh-mm" << int(RollSchedule::MINUTELY_ROLLOVER);
        QTest::newRow("hourly") << "'.'yyyy-MM-dd-hh" << int(RollSchedule::HOURLY_ROLLOVER);
        QTest::newRow("half-daily") << "'.'yyyy-MM-dd-a" << int(RollSchedule::HALFDAILY_ROLLOVER);
        QTest::newRow("daily") << "'.'yyyy-MM-dd" << int(RollSchedule::DAILY_ROLLOVER);
        QTest::newRow("weekly") << "'.'yyyy-ww" << int(RollSchedule::WEEKLY_ROLLOVER);
        QTest::newRow("monthly") << "'.'yyyy-MM" << int(RollSchedule::MONTHLY_ROLLOVER);
        QTest::newRow("hour without minute") << "yyyyMMddHH" << int(RollSchedule::HOURLY_ROLLOVER);
        QTest::newRow("day without hour") << "'_'dd.MM.yyyy" << int(RollSchedule::DAILY_ROLLOVER);
        QTest::newRow("quoted letters are literal") << "'.hh-mm-'yyyy-MM" << int(RollSchedule::MONTHLY_ROLLOVER);
        QTest::newRow("year only") << "'.'yyyy" << -1;
        QTest::newRow("only quoted text") << "'.dd'" << -1;
        QTest::newRow("empty") << "" << -1;
    }

    void classifiesPatterns()
    {
        QFETCH(QString, pattern);
        QFETCH(int, frequency);
        const RollSchedule schedule(pattern);
        QCOMPARE(schedule.isValid(), frequency >= 0);
        if (frequency >= 0)
            QCOMPARE(int(schedule.frequency()), frequency);
    }

    void computesInterval_data()
    {
        QTest::addColumn<int>("pattern");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("rollOverTime");
        QTest::addColumn<QString>("suffix");
        const int minutely = RollSchedule::MINUTELY_ROLLOVER;
        const int hourly = RollSchedule::HOURLY_ROLLOVER;
        const int halfDaily = RollSchedule::HALFDAILY_ROLLOVER;
        const int daily = RollSchedule::DAILY_ROLLOVER;
        const int weekly = RollSchedule::WEEKLY_ROLLOVER;
        const int monthly = RollSchedule::MONTHLY_ROLLOVER;
        QTest::newRow("minute") << minutely << "2026-12-08T10:15:42" << "2026-12-08T10:16:00" << ".2026-12-08-10-15";
        QTest::newRow("hour, 24-hour clock") << hourly << "2026-12-08T23:30:00" << "2026-12-09T00:00:00" << ".2026-12-08-23";
        QTest::newRow("morning") << halfDaily << "2026-12-08T11:59:59" << "2026-12-08T12:00:00" << ".2026-12-08-AM";
        QTest::newRow("noon") << halfDaily << "2026-12-08T12:00:00" << "2026-12-09T00:00:00" << ".2026-12-08-PM";
        QTest::newRow("new year's eve") << daily << "2026-12-31T18:00:00" << "2027-01-01T00:00:00" << ".2026-12-31";
        QTest::newRow("midnight") << daily << "2026-12-08T00:00:00" << "2026-12-09T00:00:00" << ".2026-12-08";
        QTest::newRow("tuesday") << weekly << "2026-12-08T09:00:00" << "2026-12-13T00:00:00" << ".2026-49";
        QTest::newRow("sunday midnight") << weekly << "2026-12-13T00:00:00" << "2026-12-20T00:00:00" << ".2026-50";
        QTest::newRow("saturday night") << weekly << "2026-12-12T23:59:59" << "2026-12-13T00:00:00" << ".2026-49";
        QTest::newRow("first sunday") << weekly << "2027-01-05T08:00:00" << "2027-01-10T00:00:00" << ".2027-01";
        QTest::newRow("end of january") << monthly << "2026-01-31T23:00:00" << "2026-02-01T00:00:00" << ".2026-01";
        QTest::newRow("december") << monthly << "2026-12-08T00:00:00" << "2027-01-01T00:00:00" << ".2026-12";
    }

    void computesInterval()
    {
        QFETCH(int, pattern);
        QFETCH(QString, now);
        QFETCH(QString, rollOverTime);
        QFETCH(QString, suffix);
        const QString datePattern = RollSchedule::datePatternString(RollSchedule::Frequency(pattern));
        const RollSchedule schedule(datePattern);
        QVERIFY(schedule.isValid());
        const QDateTime start = schedule.intervalStart(QDateTime::fromString(now, Qt::ISODate));
        QCOMPARE(schedule.intervalEnd(start), QDateTime::fromString(rollOverTime, Qt::ISODate));
        QCOMPARE(kiv::LogDateFormat::format(start, datePattern), suffix);
        QVERIFY(QRegularExpression(QStringLiteral("^%1$").arg(kiv::LogDateFormat::regExp(datePattern)))
                    .match(suffix)
                    .hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestRollSchedule)
#include "tst_rollschedule.moc"
