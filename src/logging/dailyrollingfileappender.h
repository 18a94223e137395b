#pragma once

#include <QDateTime>
#include <QFuture>
#include <QList>
#include <QString>

#include "logging/lostlines.h"

#include <functional>

#include <log4cxx/fileappender.h>

namespace kiv {

// A file appender that starts a new file at the end of every interval of
// its date pattern. The finished file is renamed to the file name followed
// by the interval's start formatted with the pattern, compressed into a ZIP
// archive in the background (when zip is on) and the oldest rolled files
// beyond maxBackupIndex are deleted.
//
// A file that cannot be written (a full disk, an I/O error) never makes a
// logging call throw: the failure is reported once through the error
// handler, lines are dropped and counted, and the file is opened again and
// written at most once per retry interval (see LostLines). A log file
// removed or replaced underneath is noticed within one retry interval and
// started again.
//
// Configure it, then call activateOptions(); log4cxx calls append() with the
// appender's lock held.
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
        log4cxx::LogString getName() const override;
    };
    const log4cxx::helpers::Class &getClass() const override;
    static const log4cxx::helpers::Class &getStaticClass();
    const void *cast(const log4cxx::helpers::Class &clazz) const override;
    bool instanceof(const log4cxx::helpers::Class &clazz) const override;

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

    static QString datePatternString(DatePattern pattern);
    static QString frequencyName(DatePattern frequency);

    // Compresses the rolled file into "<absolute name>.zip" (one entry,
    // stored when under 64 bytes, deflated otherwise) and deletes it once
    // the archive is complete. On any failure no archive is left and the
    // file stays. Thread-safe; runs without the appender.
    static bool zipFile(const QString &name);

protected:
    void append(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &pool) override;
    bool checkEntryConditions() const override;
    void subAppend(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &pool) override;

private:
    QDateTime now() const;
    void computeFrequency();
    QDateTime intervalStart(const QDateTime &time) const;
    QDateTime intervalEnd(const QDateTime &start) const;
    QDateTime computeRollOverTime();
    void rollOver(const QString &suffix, log4cxx::helpers::Pool &pool);
    void pruneBackups();
    QString freeTarget(const QString &name) const;
    bool openFile(bool append, log4cxx::helpers::Pool &pool, bool quiet = false);
    void reopenAfterFailure(log4cxx::helpers::Pool &pool);
    void checkFileStillThere(log4cxx::helpers::Pool &pool);
    void lineFailed(const QString &cause) const;
    void noteOpenedFile();
    bool rolledOverElsewhere() const;
    QString outputName() const;
    void startArchive(const QString &name);
    void reportError(const QString &message, const QString &cause, int code) const;

    QString m_datePattern;
    DatePattern m_frequency = DAILY_ROLLOVER;
    QString m_activeDatePattern;
    QDateTime m_rollOverTime;
    qint64 m_rollOverMSecs = 0;
    QString m_rollOverSuffix;
    int m_maxBackupIndex = 1;
    bool m_zip = false;
    QList<QFuture<bool>> m_zipTasks;
    Clock m_clock;
    bool m_active = false;
    // Write failures and the lines they cost; changed by const entry checks.
    mutable LostLines m_lost;
    // A failed write may have left part of a line: the next starts afresh.
    bool m_endPartialLine = false;
    LostLines::Clock::time_point m_nextFileCheck;
    // Identity of the file the writer has open.
    bool m_fileKnown = false;
    quint64 m_fileDevice = 0;
    quint64 m_fileInode = 0;
};

LOG4CXX_PTR_DEF(DailyRollingFileAppender);

} // namespace kiv
