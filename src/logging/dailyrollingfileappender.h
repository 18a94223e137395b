#pragma once

#include <QDateTime>
#include <QString>

#include "logging/logarchiver.h"
#include "logging/lostlines.h"
#include "logging/rollschedule.h"

#include <functional>
#include <optional>
#include <utility>

#include <log4cxx/fileappender.h>

namespace kiv {

// A file appender that starts a new file at the end of every interval of
// its date pattern. The finished file is renamed to the file name followed
// by the interval's start formatted with the pattern, compressed into a ZIP
// archive in the background (when zip is on) and the oldest rolled files
// beyond maxBackupIndex are deleted.
//
// A file that cannot be opened or written (a full disk, an I/O error) never
// makes a logging call throw: the first failure after a success is reported
// once (at the place LostLines::reportFailuresTo names, else through the
// error handler), lines are dropped and counted, and the file is opened
// again and written at most once per retry interval (see LostLines). A log file
// removed or replaced underneath is noticed within one retry interval and
// started again.
//
// Configure it, then call activateOptions(); log4cxx calls append() with the
// appender's lock held.
class DailyRollingFileAppender : public log4cxx::FileAppender
{
public:
    using DatePattern = RollSchedule::Frequency;
    static constexpr DatePattern MINUTELY_ROLLOVER = RollSchedule::MINUTELY_ROLLOVER;
    static constexpr DatePattern HOURLY_ROLLOVER = RollSchedule::HOURLY_ROLLOVER;
    static constexpr DatePattern HALFDAILY_ROLLOVER = RollSchedule::HALFDAILY_ROLLOVER;
    static constexpr DatePattern DAILY_ROLLOVER = RollSchedule::DAILY_ROLLOVER;
    static constexpr DatePattern WEEKLY_ROLLOVER = RollSchedule::WEEKLY_ROLLOVER;
    static constexpr DatePattern MONTHLY_ROLLOVER = RollSchedule::MONTHLY_ROLLOVER;

    // Codes handed to the appender's error handler with the pattern errors.
    enum ErrorCode {
        APPENDER_INVALID_PATTERN_ERROR = 5,
        APPENDER_USE_INVALID_PATTERN_ERROR = 11
    };

    // Local time used for all roll-over decisions; replaceable for tests.
    using Clock = std::function<QDateTime()>;

    class ClazzDailyRollingFileAppender : public log4cxx::helpers::Class
    {
    public:
        log4cxx::LogString getName() const override
        {
            return LOG4CXX_STR("kiv::DailyRollingFileAppender");
        }
    };
    const log4cxx::helpers::Class &getClass() const override;
    static const log4cxx::helpers::Class &getStaticClass();
    const void *cast(const log4cxx::helpers::Class &clazz) const override;
    bool instanceof(const log4cxx::helpers::Class &clazz) const override
    {
        return cast(clazz) != nullptr;
    }

    DailyRollingFileAppender();
    DailyRollingFileAppender(const log4cxx::LayoutPtr &layout, const QString &fileName,
                             const QString &datePattern);
    ~DailyRollingFileAppender() override;

    // Values outside the enumeration act as DAILY_ROLLOVER.
    void setDatePattern(DatePattern pattern);
    void setDatePattern(const QString &pattern);
    QString datePattern() const;
    void setMaxBackupIndex(int maxBackupIndex);
    int maxBackupIndex() const;
    void setZip(bool zip);
    bool zip() const;
    void setClock(Clock clock);
    void setRetryInterval(std::chrono::milliseconds interval);

    // What the last activation derived from the pattern.
    DatePattern frequency() const;
    QString activeDatePattern() const;
    QDateTime rollOverTime() const;
    QString rollOverSuffix() const;
    bool isActive() const;

    QString description() const;

    void activateOptions(log4cxx::helpers::Pool &pool) override;
    void setOption(const log4cxx::LogString &option, const log4cxx::LogString &value) override;

    // Blocks until every archive started so far is written.
    void waitForArchives();

protected:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &pool) override;
    bool checkEntryConditions() const override;
    void subAppend(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &pool) override;

private:
    QDateTime now() const;
    void computeFrequency();
    QDateTime computeRollOverTime();
    void rollOver(const QString &suffix, log4cxx::helpers::Pool &pool);
    void pruneBackups();
    bool openFile(bool append, log4cxx::helpers::Pool &pool);
    void reopenAfterFailure(log4cxx::helpers::Pool &pool);
    void checkFileStillThere(log4cxx::helpers::Pool &pool);
    void lineFailed(const QString &cause) const;
    void fileFailed(const QString &cause, quint64 lines, const QString &message, int code) const;
    void noteOpenedFile();
    bool rolledOverElsewhere() const;
    QString outputName() const;
    void reportError(const QString &message, const QString &cause, int code) const;

    QString m_datePattern;
    RollSchedule m_schedule;
    QString m_activeDatePattern;
    QDateTime m_rollOverTime;
    qint64 m_rollOverMSecs = 0;
    QString m_rollOverSuffix;
    int m_maxBackupIndex = 1;
    bool m_zip = false;
    LogArchiver m_archiver;
    Clock m_clock;
    bool m_active = false;
    // Write failures and the lines they cost; changed by const entry checks.
    mutable LostLines m_lost;
    // A failed write may have left part of a line: the next starts afresh.
    bool m_endPartialLine = false;
    LostLines::Clock::time_point m_nextFileCheck;
    // Device and inode of the file the writer has open.
    std::optional<std::pair<quint64, quint64>> m_openedFile;
};

LOG4CXX_PTR_DEF(DailyRollingFileAppender);

} // namespace kiv
