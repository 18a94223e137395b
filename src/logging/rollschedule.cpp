#include "logging/rollschedule.h"

#include "logging/logdateformat.h"

namespace kiv {

namespace {

const char *const kPatterns[] = {
    "'.'yyyy-MM-dd-hh-mm",
    "'.'yyyy-MM-dd-hh",
    "'.'yyyy-MM-dd-a",
    "'.'yyyy-MM-dd",
    "'.'yyyy-ww",
    "'.'yyyy-MM",
};

const char *const kFrequencyNames[] = {
    "MINUTELY_ROLLOVER",
    "HOURLY_ROLLOVER",
    "HALFDAILY_ROLLOVER",
    "DAILY_ROLLOVER",
    "WEEKLY_ROLLOVER",
    "MONTHLY_ROLLOVER",
};

} // namespace

RollSchedule::RollSchedule(const QString &datePattern)
{
    const QDateTime reference(QDate(1999, 1, 1), QTime(0, 0));
    const QString referenceText = LogDateFormat::format(reference, datePattern);
    const struct {
        QDateTime time;
        Frequency frequency;
    } steps[] = {
        {reference.addSecs(60), MINUTELY_ROLLOVER},
        {reference.addSecs(3600), HOURLY_ROLLOVER},
        {reference.addSecs(43200), HALFDAILY_ROLLOVER},
        {reference.addDays(1), DAILY_ROLLOVER},
        {reference.addDays(7), WEEKLY_ROLLOVER},
        {reference.addMonths(1), MONTHLY_ROLLOVER},
    };
    for (const auto &step : steps) {
        if (LogDateFormat::format(step.time, datePattern) != referenceText) {
            m_frequency = step.frequency;
            m_valid = true;
            return;
        }
    }
}

QDateTime RollSchedule::intervalStart(const QDateTime &time) const
{
    const QDate date = time.date();
    const QTime t = time.time();
    switch (m_frequency) {
    case MINUTELY_ROLLOVER:
        return QDateTime(date, QTime(t.hour(), t.minute()));
    case HOURLY_ROLLOVER:
        return QDateTime(date, QTime(t.hour(), 0));
    case HALFDAILY_ROLLOVER:
        return QDateTime(date, QTime(t.hour() < 12 ? 0 : 12, 0));
    case WEEKLY_ROLLOVER:
        return QDateTime(date.addDays(-(date.dayOfWeek() % 7)), QTime(0, 0));
    case MONTHLY_ROLLOVER:
        return QDateTime(QDate(date.year(), date.month(), 1), QTime(0, 0));
    case DAILY_ROLLOVER:
        break;
    }
    return QDateTime(date, QTime(0, 0));
}

QDateTime RollSchedule::intervalEnd(const QDateTime &start) const
{
    switch (m_frequency) {
    case MINUTELY_ROLLOVER:
        return start.addSecs(60);
    case HOURLY_ROLLOVER:
        return start.addSecs(3600);
    case HALFDAILY_ROLLOVER:
        // By the calendar, so that a daylight-saving change keeps noon.
        return start.time().hour() < 12 ? QDateTime(start.date(), QTime(12, 0))
                                        : QDateTime(start.date().addDays(1), QTime(0, 0));
    case WEEKLY_ROLLOVER:
        return start.addDays(7);
    case MONTHLY_ROLLOVER:
        return start.addMonths(1);
    case DAILY_ROLLOVER:
        break;
    }
    return start.addDays(1);
}

QString RollSchedule::datePatternString(Frequency frequency)
{
    if (frequency < MINUTELY_ROLLOVER || frequency > MONTHLY_ROLLOVER)
        frequency = DAILY_ROLLOVER;
    return QString::fromLatin1(kPatterns[frequency]);
}

QString RollSchedule::frequencyName(Frequency frequency)
{
    if (frequency < MINUTELY_ROLLOVER || frequency > MONTHLY_ROLLOVER)
        return QStringLiteral("%1").arg(int(frequency));
    return QString::fromLatin1(kFrequencyNames[frequency]);
}

} // namespace kiv
