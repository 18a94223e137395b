// Before any Qt header: LogLog declares a member named like Qt's "emit" macro.
#include <log4cxx/helpers/loglog.h>

#include "logging/dailyrollingfileappender.h"

#include "logging/logdateformat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <log4cxx/helpers/exception.h>
#include <log4cxx/helpers/stringhelper.h>
#include <log4cxx/private/appenderskeleton_priv.h>

#include <zip.h>

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <mutex>
#include <stdexcept>

using log4cxx::helpers::LogLog;
using log4cxx::helpers::Pool;

namespace kiv {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

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

// Rolled files of this size or larger are deflated, smaller ones stored.
constexpr qint64 kDeflateThreshold = 64;

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

QString zipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

void archiveFailed(const QString &name, const QString &cause)
{
    LogLog::warn(toLogString(QStringLiteral("Could not archive '%1', keeping it uncompressed: %2")
                                 .arg(name, cause)));
}

} // namespace

log4cxx::LogString DailyRollingFileAppender::ClazzDailyRollingFileAppender::getName() const
{
    return LOG4CXX_STR("kiv::DailyRollingFileAppender");
}

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

bool DailyRollingFileAppender::instanceof(const log4cxx::helpers::Class &clazz) const
{
    return cast(clazz) != nullptr;
}

DailyRollingFileAppender::DailyRollingFileAppender()
    : m_datePattern(QString::fromLatin1(kPatterns[DAILY_ROLLOVER]))
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
    waitForArchives();
}

QString DailyRollingFileAppender::datePatternString(DatePattern pattern)
{
    if (pattern < MINUTELY_ROLLOVER || pattern > MONTHLY_ROLLOVER)
        pattern = DAILY_ROLLOVER;
    return QString::fromLatin1(kPatterns[pattern]);
}

QString DailyRollingFileAppender::frequencyName(DatePattern frequency)
{
    if (frequency < MINUTELY_ROLLOVER || frequency > MONTHLY_ROLLOVER)
        return QStringLiteral("%1").arg(int(frequency));
    return QString::fromLatin1(kFrequencyNames[frequency]);
}

void DailyRollingFileAppender::setDatePattern(DatePattern pattern)
{
    setDatePattern(datePatternString(pattern));
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
    return m_frequency;
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
    const QDateTime reference(QDate(1999, 1, 1), QTime(0, 0));
    const QString referenceText = LogDateFormat::format(reference, m_datePattern);
    m_activeDatePattern.clear();

    const struct {
        QDateTime time;
        DatePattern frequency;
    } steps[] = {
        {reference.addSecs(60), MINUTELY_ROLLOVER},
        {reference.addSecs(3600), HOURLY_ROLLOVER},
        {reference.addSecs(43200), HALFDAILY_ROLLOVER},
        {reference.addDays(1), DAILY_ROLLOVER},
        {reference.addDays(7), WEEKLY_ROLLOVER},
        {reference.addMonths(1), MONTHLY_ROLLOVER},
    };
    for (const auto &step : steps) {
        if (LogDateFormat::format(step.time, m_datePattern) != referenceText) {
            m_frequency = step.frequency;
            m_activeDatePattern = m_datePattern;
            trace(QStringLiteral("Frequency set to %2 using date pattern %1")
                      .arg(m_activeDatePattern, frequencyName(m_frequency)));
            return;
        }
    }
    reportError(QStringLiteral("The pattern '%1' does not specify a frequency for appender '%2'")
                    .arg(m_datePattern, fromLogString(getName())),
                QStringLiteral("APPENDER_INVALID_PATTERN_ERROR"), APPENDER_INVALID_PATTERN_ERROR);
}

QDateTime DailyRollingFileAppender::intervalStart(const QDateTime &time) const
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

QDateTime DailyRollingFileAppender::intervalEnd(const QDateTime &start) const
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

QDateTime DailyRollingFileAppender::computeRollOverTime()
{
    const QDateTime current = now();
    const QDateTime start = intervalStart(current);
    m_rollOverTime = intervalEnd(start);
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
    FileAppender::activateOptions(pool);
    m_active = getWriter() != nullptr;
    // The file appender has reported why the file could not be opened.
    if (!m_active)
        m_lost.failed(QStringLiteral("file '%1' is not open").arg(fromLogString(getFile())), 0);
    else if (m_lost.isFailing())
        m_lost.retryNow();
    noteOpenedFile();
    m_nextFileCheck = LostLines::Clock::now() + m_lost.retryInterval();

    // A file left from an earlier interval is rolled over under the name of
    // the interval it was last written in: the current interval's name
    // belongs to the file started now.
    if (lastModified.isValid() && lastModified < currentStart)
        rollOver(LogDateFormat::format(intervalStart(lastModified), m_activeDatePattern), pool);
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
        lineFailed(QString::fromLocal8Bit(e.what()));
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
    if (m_lost.failed(cause)) {
        reportError(QStringLiteral("Could not write to file '%1' for appender '%2'; its lines are "
                                   "dropped until it can be written again")
                        .arg(fromLogString(getFile()), fromLogString(getName())),
                    cause, log4cxx::spi::ErrorCode::WRITE_FAILURE);
    }
}

void DailyRollingFileAppender::reopenAfterFailure(Pool &pool)
{
    // The same name may now lead elsewhere (a new file, a freed disk).
    closeWriter();
    if (!openFile(true, pool, true))
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
    if (!m_fileKnown || !getWriter())
        return;
    // Writing to a removed file succeeds, into a file nobody can read.
    struct stat st;
    if (::stat(QFile::encodeName(fromLogString(getFile())).constData(), &st) == 0
        && quint64(st.st_dev) == m_fileDevice && quint64(st.st_ino) == m_fileInode)
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
        if (m_lost.failed(QStringLiteral("file '%1' is not open").arg(fromLogString(getFile())))) {
            reportError(QStringLiteral("No output stream or file set for the appender named [%1].")
                            .arg(fromLogString(getName())),
                        QStringLiteral("file '%1' is not open").arg(fromLogString(getFile())),
                        log4cxx::spi::ErrorCode::GENERIC_FAILURE);
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

    const QString target = freeTarget(fileName + suffix);
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
        startArchive(target);
    openFile(getAppend(), pool);
}

void DailyRollingFileAppender::pruneBackups()
{
    const QFileInfo log(fromLogString(getFile()));
    const QDir dir = log.absoluteDir();
    const QRegularExpression rolled(QStringLiteral("^%1%2(?:\\.zip)?$")
                                        .arg(QRegularExpression::escape(log.fileName()),
                                             LogDateFormat::regExp(m_activeDatePattern)));

    QStringList names;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.isFile() && rolled.match(entry.fileName()).hasMatch())
            names.append(entry.fileName());
    }
    std::sort(names.begin(), names.end());

    // The file about to be rolled takes one of the places.
    const int keep = std::max(m_maxBackupIndex, 1);
    const int surplus = std::min<int>(names.size(), names.size() - keep + 1);
    for (int i = 0; i < surplus; ++i) {
        QFile old(dir.filePath(names.at(i)));
        if (old.remove())
            trace(QStringLiteral("Deleted old backup '%1'").arg(old.fileName()));
        else
            reportError(QStringLiteral("Unable to remove file '%1' for appender '%2'")
                            .arg(old.fileName(), fromLogString(getName())),
                        old.errorString(), log4cxx::spi::ErrorCode::GENERIC_FAILURE);
    }
}

QString DailyRollingFileAppender::freeTarget(const QString &name) const
{
    // Never replace an earlier rolled file or its archive: after a clock
    // change the same interval name can come round again.
    QString candidate = name;
    for (int n = 1; QFileInfo::exists(candidate) || QFileInfo::exists(candidate + ".zip"); ++n)
        candidate = name + QLatin1Char('.') + QString::number(n);
    return candidate;
}

bool DailyRollingFileAppender::openFile(bool append, Pool &pool, bool quiet)
{
    const bool configuredAppend = getAppend();
    bool opened = true;
    try {
        setFileInternal(getFile(), append, getBufferedIO(), size_t(getBufferSize()), pool);
        noteOpenedFile();
    } catch (const std::exception &e) {
        opened = false;
        const QString cause = QString::fromLocal8Bit(e.what());
        // Lines are counted as they come.
        m_lost.failed(cause, 0);
        if (!quiet)
            reportError(QStringLiteral("Unable to open file '%1' for appender '%2'")
                            .arg(fromLogString(getFile()), fromLogString(getName())),
                        cause, log4cxx::spi::ErrorCode::FILE_OPEN_FAILURE);
    }
    // setFileInternal records the mode it was given.
    setAppend(configuredAppend);
    return opened;
}

void DailyRollingFileAppender::noteOpenedFile()
{
    struct stat st;
    m_fileKnown = getWriter() && ::stat(QFile::encodeName(fromLogString(getFile())).constData(), &st) == 0;
    if (m_fileKnown) {
        m_fileDevice = quint64(st.st_dev);
        m_fileInode = quint64(st.st_ino);
    }
}

bool DailyRollingFileAppender::rolledOverElsewhere() const
{
    struct stat st;
    if (!m_fileKnown || !getWriter()
        || ::stat(QFile::encodeName(fromLogString(getFile())).constData(), &st) != 0)
        return false;
    return quint64(st.st_dev) != m_fileDevice || quint64(st.st_ino) != m_fileInode;
}

void DailyRollingFileAppender::startArchive(const QString &name)
{
    m_zipTasks.erase(std::remove_if(m_zipTasks.begin(), m_zipTasks.end(),
                                    [](const QFuture<bool> &f) { return f.isFinished(); }),
                     m_zipTasks.end());
    // An exception kept in the future would be thrown again by waitForArchives.
    m_zipTasks.append(QtConcurrent::run(QThreadPool::globalInstance(), [name] {
        try {
            return zipFile(name);
        } catch (const std::exception &e) {
            archiveFailed(name, QString::fromLocal8Bit(e.what()));
        } catch (...) {
            archiveFailed(name, QStringLiteral("unknown error"));
        }
        return false;
    }));
}

void DailyRollingFileAppender::waitForArchives()
{
    QList<QFuture<bool>> tasks;
    {
        Lock lock(m_priv->mutex);
        tasks = m_zipTasks;
    }
    // Outside the lock: logging goes on while the archives are written.
    for (QFuture<bool> &task : tasks)
        task.waitForFinished();
}

bool DailyRollingFileAppender::zipFile(const QString &name)
{
    const QFileInfo info(name);
    const QString archiveName = info.absoluteFilePath() + QStringLiteral(".zip");
    const QByteArray path = QFile::encodeName(info.absoluteFilePath());

    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        archiveFailed(name, QStringLiteral("not a readable regular file"));
        return false;
    }
    QFile source(name);
    if (!source.open(QIODevice::ReadOnly)) {
        archiveFailed(name, source.errorString());
        return false;
    }
    source.close();

    int openError = 0;
    zip_t *archive = zip_open(QFile::encodeName(archiveName).constData(),
                              ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!archive) {
        archiveFailed(name, zipErrorText(openError));
        return false;
    }

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *content = zip_source_file_create(path.constData(), 0, -1, &error);
    if (!content) {
        archiveFailed(name, QString::fromUtf8(zip_error_strerror(&error)));
        zip_error_fini(&error);
        zip_discard(archive);
        return false;
    }
    zip_error_fini(&error);

    const zip_int64_t index = zip_file_add(archive, info.fileName().toUtf8().constData(), content,
                                           ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(content);
        archiveFailed(name, QString::fromUtf8(zip_strerror(archive)));
        zip_discard(archive);
        return false;
    }
    const auto entry = zip_uint64_t(index);
    if (zip_set_file_compression(archive, entry,
                                 st.st_size < kDeflateThreshold ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0) != 0
        || zip_file_set_external_attributes(archive, entry, 0, ZIP_OPSYS_UNIX,
                                            zip_uint32_t(st.st_mode & 0xFFFF) << 16) != 0
        || zip_file_set_mtime(archive, entry, std::time(nullptr), 0) != 0) {
        archiveFailed(name, QString::fromUtf8(zip_strerror(archive)));
        zip_discard(archive);
        return false;
    }

    // Most failures (a vanished directory or source) only show here.
    if (zip_close(archive) != 0) {
        archiveFailed(name, QString::fromUtf8(zip_strerror(archive)));
        zip_discard(archive);
        return false;
    }

    QFile rolled(name);
    if (!rolled.remove()) {
        LogLog::warn(toLogString(QStringLiteral("Could not remove archived file '%1': %2")
                                     .arg(name, rolled.errorString())));
    }
    return true;
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
        + QStringLiteral("frequency:%1 ").arg(frequencyName(m_frequency))
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
