#pragma once

#include "logging/lostlines.h"

#include <log4cxx/consoleappender.h>

namespace kiv {

// A console appender that sees its write failures: the library's own
// writes to standard output ignore them. While the target cannot be
// written (a closed pipe, a full disk behind a redirection) lines are
// dropped and counted, the failure is reported once through the error
// handler and a write is tried again at most once per retry interval (see
// LostLines). Logging never throws.
class ConsoleAppender : public log4cxx::ConsoleAppender
{
public:
    ConsoleAppender();

    void setRetryInterval(std::chrono::milliseconds interval);

protected:
    void subAppend(const log4cxx::spi::LoggingEventPtr &event, log4cxx::helpers::Pool &pool) override;

private:
    // 0 on success, else the errno of the failed write.
    int writeAll(const std::string &bytes) const;

    LostLines m_lost;
};

LOG4CXX_PTR_DEF(ConsoleAppender);

} // namespace kiv
