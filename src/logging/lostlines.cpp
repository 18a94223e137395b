#include "logging/lostlines.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <log4cxx/helpers/pool.h>
#include <log4cxx/level.h>
#include <log4cxx/spi/location/locationinfo.h>

#include <atomic>
#include <mutex>

namespace kiv {

namespace {

log4cxx::spi::LoggingEventPtr event(const QString &logger, const log4cxx::LevelPtr &level,
                                    const QString &text)
{
    return std::make_shared<log4cxx::spi::LoggingEvent>(
        logger.toStdString(), level, text.toStdString(),
        log4cxx::spi::LocationInfo::getLocationUnavailable());
}

struct ReportPlace
{
    std::mutex mutex;
    log4cxx::AppenderPtr appender;
    QString place;
};

// Never destroyed: a log4cxx appender must not outlive the library's own
// statics, which may go first at exit.
ReportPlace &reportPlace()
{
    static ReportPlace *report = new ReportPlace;
    return *report;
}

std::atomic<quint64> processLost{0};

} // namespace

quint64 LostLines::totalLost()
{
    return processLost.load(std::memory_order_relaxed);
}

bool LostLines::mayWrite()
{
    if (!m_failing || Clock::now() >= m_nextRetry)
        return true;
    ++m_lost;
    processLost.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool LostLines::failed(const QString &error, quint64 lines)
{
    const bool first = !m_failing;
    m_failing = true;
    m_lost += lines;
    processLost.fetch_add(lines, std::memory_order_relaxed);
    m_error = error;
    m_nextRetry = Clock::now() + m_retryInterval;
    return first;
}

void LostLines::recovered()
{
    m_failing = false;
    m_lost = 0;
    m_error.clear();
}

log4cxx::spi::LoggingEventPtr LostLines::warning(const QString &output) const
{
    const QString text = QStringLiteral("%1 log %2 lost while %3 could not be written: %4")
                             .arg(m_lost)
                             .arg(m_lost == 1 ? QStringLiteral("line") : QStringLiteral("lines"),
                                  output, m_error);
    return event(output, log4cxx::Level::getWarn(), text);
}

void LostLines::reportFailuresTo(const log4cxx::AppenderPtr &appender, const QString &place)
{
    ReportPlace &report = reportPlace();
    std::lock_guard<std::mutex> lock(report.mutex);
    report.appender = appender;
    report.place = place;
}

bool LostLines::report(const QString &path) const
{
    log4cxx::AppenderPtr appender;
    QString place;
    {
        ReportPlace &report = reportPlace();
        std::lock_guard<std::mutex> lock(report.mutex);
        appender = report.appender;
        place = report.place;
    }
    if (!appender)
        return false;
    log4cxx::helpers::Pool pool;
    appender->doAppend(event(QFileInfo(path).fileName(), log4cxx::Level::getError(),
                             QStringLiteral("cannot write %1: %2; log lines go to %3 only until it can")
                                 .arg(path, m_error, place)),
                       pool);
    return true;
}

QString LostLines::reason(const std::exception &e)
{
    static const QRegularExpression status(
        QStringLiteral("^IO Exception : status code = \\d+\\((.*)\\)$"));
    const QString text = QString::fromLocal8Bit(e.what());
    const QRegularExpressionMatch match = status.match(text);
    return match.hasMatch() ? match.captured(1) : text;
}

} // namespace kiv
