#pragma once

#include <log4cxx/fileappender.h>

namespace kiv {

// Placeholder until the rolling appender is built: a plain file appender.
class DailyRollingFileAppender : public log4cxx::FileAppender
{
public:
    enum DatePattern {
        MINUTELY_ROLLOVER = 0,
        HOURLY_ROLLOVER,
        HALFDAILY_ROLLOVER,
        DAILY_ROLLOVER,
        WEEKLY_ROLLOVER,
        MONTHLY_ROLLOVER
    };
    void setDatePattern(DatePattern) {}
    void setMaxBackupIndex(int) {}
    void setZip(bool) {}
};

} // namespace kiv
