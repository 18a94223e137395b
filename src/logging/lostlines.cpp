#include "logging/lostlines.h"

#include <log4cxx/level.h>

#include <atomic>
#include <log4cxx/spi/location/locationinfo.h>

namespace kiv {

namespace {
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
    return std::make_shared<log4cxx::spi::LoggingEvent>(
        output.toStdString(), log4cxx::Level::getWarn(), text.toStdString(),
        log4cxx::spi::LocationInfo::getLocationUnavailable());
}

} // namespace kiv
