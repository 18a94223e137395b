#pragma once

#include <QDateTime>
#include <QString>

namespace kiv {

// When a dated log file ends: the frequency a date pattern implies and the
// interval a time falls in. Pure local-time arithmetic, no files.
class RollSchedule
{
public:
    enum Frequency {
        MINUTELY_ROLLOVER = 0,
        HOURLY_ROLLOVER,
        HALFDAILY_ROLLOVER,
        DAILY_ROLLOVER,
        WEEKLY_ROLLOVER,
        MONTHLY_ROLLOVER
    };

    // Daily, without a pattern.
    RollSchedule() = default;
    // The shortest step that changes the pattern's text is the frequency;
    // a pattern that no step changes leaves the schedule invalid.
    explicit RollSchedule(const QString &datePattern);

    bool isValid() const { return m_valid; }
    Frequency frequency() const { return m_frequency; }

    QDateTime intervalStart(const QDateTime &time) const;
    QDateTime intervalEnd(const QDateTime &start) const;

    // The enumerated patterns; values outside the enumeration act as daily.
    static QString datePatternString(Frequency frequency);
    static QString frequencyName(Frequency frequency);

private:
    Frequency m_frequency = DAILY_ROLLOVER;
    bool m_valid = false;
};

} // namespace kiv
