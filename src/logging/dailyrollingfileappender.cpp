// Before any Qt header: LogLog declares a member named like Qt's "emit" macro.
#include <log4cxx/helpers/loglog.h>

#include "logging/dailyrollingfileappender.h"

#include "logging/logdateformat.h"

#include <QFile>
#include <QFileInfo>

#include <log4cxx/helpers/exception.h>
#include <log4cxx/helpers/stringhelper.h>
#include <log4cxx/private/appenderskeleton_priv.h>

#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

using log4cxx::helpers::LogLog;
using log4cxx::helpers::Pool;

namespace kiv {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

QString fromLogString(const log4cxx::LogString &s)
{
    return QString::fromStdString(s);
}

log4cxx::LogString toLogString(const QString &s)
{
    return s.toStdString();
}

void trace(const QString &message)
{
    LogLog::debug(toLogString(message));
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString pointerText(const void *p)
{
    return QStringLiteral("0x%1").arg(quintptr(p), 0, 16);
}

// The device and inode a name leads to: the file opened, or one put in its place.
std::optional<std::pair<quint64, quint64>> fileIdentity(const log4cxx::LogString &name)
{
    struct stat st;
    if (::stat(name.c_str(), &st) != 0)
        return std::nullopt;
    return std::make_pair(quint64(st.st_dev), quint64(st.st_ino));
}

} // namespace

const log4cxx::helpers::Class &DailyRollingFileAppender::getClass() const
{
    return getStaticClass();
}

const log4cxx::helpers::Class &DailyRollingFileAppender::getStaticClass()
{
    static ClazzDailyRollingFileAppender theClass;
    return theClass;
}

const void *DailyRollingFileAppender::cast(const log4cxx::helpers::Class &clazz) const
{
    if (&clazz == &getStaticClass())
        return static_cast<const DailyRollingFileAppender *>(this);
    return FileAppender::cast(clazz);
}

DailyRollingFileAppender::DailyRollingFileAppender()
    : m_datePattern(RollSchedule::datePatternString(RollSchedule::DAILY_ROLLOVER))
{
    // Our logs are UTF-8 whatever the locale the service was started in.
    setEncoding(LOG4CXX_STR("UTF-8"));
}

DailyRollingFileAppender::DailyRollingFileAppender(const log4cxx::LayoutPtr &layout,
                                                   const QString &fileName,
                                                   const QString &datePattern)
    : m_datePattern(datePattern)
{
    setEncoding(LOG4CXX_STR("UTF-8"));
    setLayout(layout);
    setFile(toLogString(fileName));
}

DailyRollingFileAppender::~DailyRollingFileAppender()
{
    close();
    m_archiver.waitForAll();
}

void DailyRollingFileAppender::setDatePattern(DatePattern pattern)
{
    setDatePattern(RollSchedule::datePatternString(pattern));
}

void DailyRollingFileAppender::setDatePattern(const QString &pattern)
{
    Lock lock(m_priv->mutex);
    m_datePattern = pattern;
}

QString DailyRollingFileAppender::datePattern() const
{
    Lock lock(m_priv->mutex);
    return m_datePattern;
}

void DailyRollingFileAppender::setMaxBackupIndex(int maxBackupIndex)
{
    Lock lock(m_priv->mutex);
    m_maxBackupIndex = maxBackupIndex;
}

int DailyRollingFileAppender::maxBackupIndex() const
{
    Lock lock(m_priv->mutex);
    return m_maxBackupIndex;
}

void DailyRollingFileAppender::setZip(bool zip)
{
    Lock lock(m_priv->mutex);
    m_zip = zip;
}

bool DailyRollingFileAppender::zip() const
{
    Lock lock(m_priv->mutex);
    return m_zip;
}

void DailyRollingFileAppender::setClock(Clock clock)
{
    Lock lock(m_priv->mutex);
    m_clock = std::move(clock);
}

void DailyRollingFileAppender::setRetryInterval(std::chrono::milliseconds interval)
{
    Lock lock(m_priv->mutex);
    m_lost.setRetryInterval(interval);
    m_nextFileCheck = LostLines::Clock::now() + interval;
}

DailyRollingFileAppender::DatePattern DailyRollingFileAppender::frequency() const
{
    Lock lock(m_priv->mutex);
    return m_schedule.frequency();
}

QString DailyRollingFileAppender::activeDatePattern() const
{
    Lock lock(m_priv->mutex);
    return m_activeDatePattern;
}

QDateTime DailyRollingFileAppender::rollOverTime() const
{
    Lock lock(m_priv->mutex);
    return m_rollOverTime;
}

QString DailyRollingFileAppender::rollOverSuffix() const
{
    Lock lock(m_priv->mutex);
    return m_rollOverSuffix;
}

bool DailyRollingFileAppender::isActive() const
{
    Lock lock(m_priv->mutex);
    return m_active;
}

void DailyRollingFileAppender::setOption(const log4cxx::LogString &option,
                                         const log4cxx::LogString &value)
{
    using log4cxx::helpers::StringHelper;
    if (StringHelper::equalsIgnoreCase(option, LOG4CXX_STR("DATEPATTERN"), LOG4CXX_STR("datepattern"))) {
        setDatePattern(fromLogString(value));
    } else if (StringHelper::equalsIgnoreCase(option, LOG4CXX_STR("MAXBACKUPINDEX"),
                                              LOG4CXX_STR("maxbackupindex"))) {
        bool ok = false;
        const int n = fromLogString(value).trimmed().toInt(&ok);
        if (ok)
            setMaxBackupIndex(n);
    } else if (StringHelper::equalsIgnoreCase(option, LOG4CXX_STR("ZIP"), LOG4CXX_STR("zip"))) {
        setZip(StringHelper::equalsIgnoreCase(value, LOG4CXX_STR("TRUE"), LOG4CXX_STR("true")));
    } else {
        FileAppender::setOption(option, value);
    }
}

QDateTime DailyRollingFileAppender::now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

void DailyRollingFileAppender::reportError(const QString &message, const QString &cause,
                                           int code) const
{
    const std::runtime_error failure(toLogString(cause));
    getErrorHandler()->error(toLogString(message), failure, code);
}

void DailyRollingFileAppender::computeFrequency()
{
    const RollSchedule schedule(m_datePattern);
    m_activeDatePattern.clear();
    if (!schedule.isValid()) {
        reportError(QStringLiteral("The pattern '%1' does not specify a frequency for appender '%2'")
                        .arg(m_datePattern, fromLogString(getName())),
                    QStringLiteral("APPENDER_INVALID_PATTERN_ERROR"), APPENDER_INVALID_PATTERN_ERROR);
        return;
    }
    m_schedule = schedule;
    m_activeDatePattern = m_datePattern;
    trace(QStringLiteral("Frequency set to %2 using date pattern %1")
              .arg(m_activeDatePattern, RollSchedule::frequencyName(m_schedule.frequency())));
}

QDateTime DailyRollingFileAppender::computeRollOverTime()
{
    const QDateTime current = now();
    const QDateTime start = m_schedule.intervalStart(current);
    m_rollOverTime = m_schedule.intervalEnd(start);
    m_rollOverMSecs = m_rollOverTime.toMSecsSinceEpoch();
    m_rollOverSuffix = LogDateFormat::format(start, m_activeDatePattern);
    trace(QStringLiteral("Computing roll over time from %1: The interval start time is %2. "
                         "The roll over time is %3")
              .arg(current.toString(Qt::ISODateWithMs), start.toString(Qt::ISODate),
                   m_rollOverTime.toString(Qt::ISODate)));
    return start;
}

void DailyRollingFileAppender::activateOptions(Pool &pool)
{
    Lock lock(m_priv->mutex);

    // An empty file has nothing worth keeping under a dated name.
    const QFileInfo existing(fromLogString(getFile()));
    QDateTime lastModified;
    if (existing.isFile() && existing.size() > 0)
        lastModified = existing.lastModified();

    computeFrequency();
    if (m_activeDatePattern.isEmpty())
        return;

    const QDateTime currentStart = computeRollOverTime();
    // Opened here: the file appender would report a failure in the library's words.
    if (getFile().empty())
        FileAppender::activateOptions(pool);
    else if (openFile(getAppend(), pool))
        WriterAppender::activateOptions(pool);
    m_active = getWriter() != nullptr;
    if (!m_active && !m_lost.isFailing())
        m_lost.failed(QStringLiteral("file '%1' is not open").arg(fromLogString(getFile())), 0);
    else if (m_active && m_lost.isFailing())
        m_lost.retryNow();
    noteOpenedFile();
    m_nextFileCheck = LostLines::Clock::now() + m_lost.retryInterval();

    // A file left from an earlier interval is rolled over under the name of
    // the interval it was last written in: the current interval's name
    // belongs to the file started now.
    if (lastModified.isValid() && lastModified < currentStart)
        rollOver(LogDateFormat::format(m_schedule.intervalStart(lastModified), m_activeDatePattern),
                 pool);
}

void DailyRollingFileAppender::append(const log4cxx::spi::LoggingEventPtr &event, Pool &pool)
{
    // Nothing may leave a logging call: it would end the thread that logs.
    try {
        if (!m_lost.mayWrite())
            return;
        if (m_lost.isFailing())
            reopenAfterFailure(pool);
        else
            checkFileStillThere(pool);
        if (!m_activeDatePattern.isEmpty()) {
            const qint64 current = m_clock ? m_clock().toMSecsSinceEpoch()
                                           : QDateTime::currentMSecsSinceEpoch();
            if (current >= m_rollOverMSecs) {
                const QString finishedSuffix = m_rollOverSuffix;
                computeRollOverTime();
                if (m_rollOverSuffix != finishedSuffix)
                    rollOver(finishedSuffix, pool);
            }
        }
        FileAppender::append(event, pool);
    } catch (const std::exception &e) {
        lineFailed(LostLines::reason(e));
    } catch (...) {
        lineFailed(QStringLiteral("unknown error"));
    }
}

void DailyRollingFileAppender::subAppend(const log4cxx::spi::LoggingEventPtr &event, Pool &pool)
{
    const bool retrying = m_lost.isFailing();
    log4cxx::LogString text;
    if (m_endPartialLine)
        text = LOG4CXX_STR("\n");
    if (retrying) {
        log4cxx::LogString warning;
        getLayout()->format(warning, m_lost.warning(outputName()), pool);
        text += warning;
    }
    log4cxx::LogString line;
    getLayout()->format(line, event, pool);
    text += line;
    // Throws on a failed write; append() counts the line as lost.
    const log4cxx::helpers::WriterPtr writer = getWriter();
    writer->write(text, pool);
    if (getImmediateFlush())
        writer->flush(pool);
    m_endPartialLine = false;
    if (retrying)
        m_lost.recovered();
}

void DailyRollingFileAppender::lineFailed(const QString &cause) const
{
    fileFailed(cause, 1,
               QStringLiteral("Could not write to file '%1' for appender '%2'; its lines are "
                              "dropped until it can be written again"),
               log4cxx::spi::ErrorCode::WRITE_FAILURE);
}

void DailyRollingFileAppender::fileFailed(const QString &cause, quint64 lines,
                                          const QString &message, int code) const
{
    if (!m_lost.failed(cause, lines))
        return;
    if (!m_lost.report(fromLogString(getFile())))
        reportError(message.arg(fromLogString(getFile()), fromLogString(getName())), cause, code);
}

void DailyRollingFileAppender::reopenAfterFailure(Pool &pool)
{
    // The same name may now lead elsewhere (a new file, a freed disk).
    closeWriter();
    if (!openFile(true, pool))
        return;
    if (!m_activeDatePattern.isEmpty())
        m_active = true;
    QFile file(fromLogString(getFile()));
    char last = '\n';
    if (file.open(QIODevice::ReadOnly) && file.size() > 0 && file.seek(file.size() - 1))
        file.getChar(&last);
    m_endPartialLine = last != '\n';
}

void DailyRollingFileAppender::checkFileStillThere(Pool &pool)
{
    const LostLines::Clock::time_point now = LostLines::Clock::now();
    if (now < m_nextFileCheck)
        return;
    m_nextFileCheck = now + m_lost.retryInterval();
    // Writing to a removed file succeeds, into a file nobody can read.
    if (!m_openedFile || !getWriter() || fileIdentity(getFile()) == m_openedFile)
        return;
    LogLog::warn(toLogString(QStringLiteral("File '%1' of appender '%2' was removed or replaced; "
                                            "starting it again")
                                 .arg(fromLogString(getFile()), fromLogString(getName()))));
    closeWriter();
    openFile(true, pool);
}

QString DailyRollingFileAppender::outputName() const
{
    return QFileInfo(fromLogString(getFile())).fileName();
}

bool DailyRollingFileAppender::checkEntryConditions() const
{
    if (m_active && m_activeDatePattern.isEmpty()) {
        reportError(QStringLiteral("Use of appender '%1' without having a valid date pattern set")
                        .arg(fromLogString(getName())),
                    QStringLiteral("APPENDER_USE_INVALID_PATTERN_ERROR"),
                    APPENDER_USE_INVALID_PATTERN_ERROR);
        return false;
    }
    // log4cxx drops events of an appender without a writer silently.
    if (!m_priv->closed && !getWriter()) {
        // A file that failed keeps its cause for the count of lost lines.
        const QString cause = m_lost.isFailing()
            ? m_lost.lastError()
            : QStringLiteral("file '%1' is not open").arg(fromLogString(getFile()));
        if (m_lost.failed(cause)) {
            reportError(QStringLiteral("No output stream or file set for the appender named [%1].")
                            .arg(fromLogString(getName())),
                        cause, log4cxx::spi::ErrorCode::GENERIC_FAILURE);
        }
        return false;
    }
    return FileAppender::checkEntryConditions();
}

void DailyRollingFileAppender::rollOver(const QString &suffix, Pool &pool)
{
    const QString fileName = fromLogString(getFile());
    // Several appenders may share one file (the devices' debug log): the
    // first to roll renames it, the others only move on to the new file.
    if (rolledOverElsewhere()) {
        trace(QStringLiteral("'%1' was rolled over by another appender").arg(fileName));
        openFile(true, pool);
        return;
    }

    closeWriter();
    pruneBackups();

    const QString target = LogArchiver::freeName(fileName + suffix);
    QFile file(fileName);
    if (!file.rename(target)) {
        reportError(QStringLiteral("Unable to rename file '%1' to '%2' for appender '%3'")
                        .arg(fileName, target, fromLogString(getName())),
                    file.errorString(), log4cxx::spi::ErrorCode::GENERIC_FAILURE);
        // Keep writing to the old file rather than losing the new lines.
        openFile(true, pool);
        return;
    }
    trace(QStringLiteral("Rolled '%1' over to '%2'").arg(fileName, target));
    if (m_zip)
        m_archiver.start(target);
    openFile(getAppend(), pool);
}

void DailyRollingFileAppender::pruneBackups()
{
    // The file about to be rolled takes one of the places.
    const int keep = std::max(m_maxBackupIndex, 1) - 1;
    const auto failures = LogArchiver::removeOldest(
        fromLogString(getFile()), LogDateFormat::regExp(m_activeDatePattern), keep);
    for (const auto &[name, error] : failures)
        reportError(QStringLiteral("Unable to remove file '%1' for appender '%2'")
                        .arg(name, fromLogString(getName())),
                    error, log4cxx::spi::ErrorCode::GENERIC_FAILURE);
}

bool DailyRollingFileAppender::openFile(bool append, Pool &pool)
{
    const bool configuredAppend = getAppend();
    bool opened = true;
    try {
        setFileInternal(getFile(), append, getBufferedIO(), size_t(getBufferSize()), pool);
        noteOpenedFile();
    } catch (const std::exception &e) {
        opened = false;
        // Lines are counted as they come.
        fileFailed(LostLines::reason(e), 0,
                   QStringLiteral("Unable to open file '%1' for appender '%2'"),
                   log4cxx::spi::ErrorCode::FILE_OPEN_FAILURE);
    }
    // setFileInternal records the mode it was given.
    setAppend(configuredAppend);
    return opened;
}

void DailyRollingFileAppender::noteOpenedFile()
{
    m_openedFile = getWriter() ? fileIdentity(getFile()) : std::nullopt;
}

bool DailyRollingFileAppender::rolledOverElsewhere() const
{
    if (!m_openedFile || !getWriter())
        return false;
    const auto current = fileIdentity(getFile());
    return current && current != m_openedFile;
}

void DailyRollingFileAppender::waitForArchives()
{
    m_archiver.waitForAll();
}

QString DailyRollingFileAppender::description() const
{
    Lock lock(m_priv->mutex);
    const log4cxx::LayoutPtr layout = getLayout();
    const QString layoutText = layout ? fromLogString(layout->getClass().getName())
                                      : QStringLiteral("null");
    const log4cxx::LevelPtr threshold = getThreshold();
    const QString thresholdText = threshold ? fromLogString(threshold->toString())
                                            : QStringLiteral("null");
    return QStringLiteral("DailyRollingFileAppender(")
        + QStringLiteral("name:\"%1\" ").arg(fromLogString(getName()))
        + QStringLiteral("activedatepattern:\"%1\" ").arg(m_activeDatePattern)
        + QStringLiteral("appendfile:%1 ").arg(boolText(getAppend()))
        + QStringLiteral("bufferedio:%1 ").arg(boolText(getBufferedIO()))
        + QStringLiteral("datepattern:\"%1\" ").arg(m_datePattern)
        + QStringLiteral("encoding:\"%1\" ").arg(fromLogString(getEncoding()))
        + QStringLiteral("frequency:%1 ").arg(RollSchedule::frequencyName(m_schedule.frequency()))
        + QStringLiteral("file:\"%1\" ").arg(fromLogString(getFile()))
        + QStringLiteral("filter:%1 ").arg(pointerText(getFilter().get()))
        + QStringLiteral("immediateflush:%1 ").arg(boolText(getImmediateFlush()))
        + QStringLiteral("isactive:%1 ").arg(boolText(m_active))
        + QStringLiteral("isclosed:%1 ").arg(boolText(m_priv->closed))
        + QStringLiteral("layout:%1 ").arg(layoutText)
        // Owners hold the appender through shared pointers it cannot see.
        + QStringLiteral("referencecount:n/a ")
        + QStringLiteral("rollovertime:%1 ").arg(m_rollOverTime.toString(Qt::ISODate))
        + QStringLiteral("threshold:%1 ").arg(thresholdText)
        + QStringLiteral("writer:%1").arg(pointerText(getWriter().get()))
        + QStringLiteral(")");
}

} // namespace kiv
