#include "logging/consoleappender.h"

#include <log4cxx/helpers/transcoder.h>
#include <log4cxx/private/appenderskeleton_priv.h>
#include <log4cxx/spi/errorhandler.h>

#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace kiv {

ConsoleAppender::ConsoleAppender()
{
    setTarget(getSystemOut());
}

void ConsoleAppender::setRetryInterval(std::chrono::milliseconds interval)
{
    std::lock_guard<std::recursive_mutex> lock(m_priv->mutex);
    m_lost.setRetryInterval(interval);
}

void ConsoleAppender::subAppend(const log4cxx::spi::LoggingEventPtr &event,
                                log4cxx::helpers::Pool &pool)
{
    if (!m_lost.mayWrite())
        return;
    const bool toStdout = getTarget() == getSystemOut();
    const QString output = toStdout ? QStringLiteral("stdout") : QStringLiteral("stderr");
    try {
        const bool retrying = m_lost.isFailing();
        log4cxx::LogString text;
        if (retrying)
            getLayout()->format(text, m_lost.warning(output), pool);
        log4cxx::LogString line;
        getLayout()->format(line, event, pool);
        text += line;
        LOG4CXX_ENCODE_CHAR(bytes, text);
        const int error = writeAll(bytes);
        if (error == 0) {
            if (retrying)
                m_lost.recovered();
            return;
        }
        const std::string cause = std::generic_category().message(error);
        if (m_lost.failed(QString::fromStdString(cause))) {
            getErrorHandler()->error(
                "Could not write to " + output.toStdString() + " for appender [" + getName()
                    + "]; its lines are dropped until it can be written again",
                std::runtime_error(cause), log4cxx::spi::ErrorCode::WRITE_FAILURE);
        }
    } catch (const std::exception &e) {
        if (m_lost.failed(QString::fromLocal8Bit(e.what())))
            getErrorHandler()->error("Could not log to " + output.toStdString() + " for appender ["
                                         + getName() + "]",
                                     e, log4cxx::spi::ErrorCode::WRITE_FAILURE);
    }
}

int ConsoleAppender::writeAll(const std::string &bytes) const
{
    const int fd = getTarget() == getSystemOut() ? STDOUT_FILENO : STDERR_FILENO;
    const char *data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        left -= size_t(n);
    }
    return 0;
}

} // namespace kiv
