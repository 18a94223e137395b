#pragma once

#include <QString>

#include <chrono>
#include <exception>

#include <log4cxx/appender.h>
#include <log4cxx/spi/loggingevent.h>

namespace kiv {

// An appender's account of its output while writing to it fails: lines are
// dropped and counted, a write is tried again at most once per retry
// interval, and the first write that succeeds again is preceded by one WARN
// line that tells how many lines were lost.
//
// Not thread-safe (reportFailuresTo excepted): the appender uses it under
// its own lock.
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
    QString lastError() const { return m_error; }

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

    // Where the failure of any log file of the process is said: one ERROR
    // line on appender (the console) "cannot write <path>: <error>; log lines
    // go to <place> only until it can", on a logger named after the file.
    // Without one (the default) nothing is said there.
    static void reportFailuresTo(const log4cxx::AppenderPtr &appender, const QString &place);
    // Says the last failure of the file at path there; false without a place.
    bool report(const QString &path) const;

    // The reason log4cxx gives for a failed write or open, without its
    // wording ("IO Exception : status code = 13(Permission denied)").
    static QString reason(const std::exception &e);

private:
    std::chrono::milliseconds m_retryInterval = kDefaultRetryInterval;
    bool m_failing = false;
    quint64 m_lost = 0;
    QString m_error;
    Clock::time_point m_nextRetry;
};

} // namespace kiv
