#pragma once

#include <QString>

#include <chrono>

#include <log4cxx/spi/loggingevent.h>

namespace kiv {

// An appender's account of its output while writing to it fails: lines are
// dropped and counted, a write is tried again at most once per retry
// interval, and the first write that succeeds again is preceded by one WARN
// line that tells how many lines were lost.
//
// Not thread-safe: the appender uses it under its own lock.
class LostLines
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultRetryInterval{5000};

    void setRetryInterval(std::chrono::milliseconds interval) { m_retryInterval = interval; }
    std::chrono::milliseconds retryInterval() const { return m_retryInterval; }

    bool isFailing() const { return m_failing; }
    // Lines lost by every output of the process since it started.
    static quint64 totalLost();
    quint64 count() const { return m_lost; }

    // Before a write: false, counting the line as lost, while the output
    // failed and the next retry is not due.
    bool mayWrite();
    // Writing failed: the lines (the one at hand, or none when the output
    // could not even be opened) are counted as lost and the next retry is
    // due one interval from now. True on the first failure after a success,
    // which the appender reports.
    bool failed(const QString &error, quint64 lines = 1);
    // The output was set up again: the next write is a retry.
    void retryNow() { m_nextRetry = Clock::now(); }
    // A write succeeded again; the count starts over.
    void recovered();

    // The WARN line that goes before the first line written again, on a
    // logger named after the output (e.g. "Kiv.log").
    log4cxx::spi::LoggingEventPtr warning(const QString &output) const;

private:
    std::chrono::milliseconds m_retryInterval = kDefaultRetryInterval;
    bool m_failing = false;
    quint64 m_lost = 0;
    QString m_error;
    Clock::time_point m_nextRetry;
};

} // namespace kiv
