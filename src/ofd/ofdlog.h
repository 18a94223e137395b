#pragma once

#include <QString>

#include <log4cxx/logger.h>

// Log lines of the OFD channel. Texts go through the wide API so that the
// Russian device-log lines keep their characters whatever the locale.
namespace ofdlog {

inline log4cxx::LoggerPtr logger(const QString &name)
{
    return log4cxx::Logger::getLogger(name.toStdWString());
}

inline void info(const log4cxx::LoggerPtr &logger, const QString &text)
{
    LOG4CXX_INFO(logger, text.toStdWString());
}

inline void warn(const log4cxx::LoggerPtr &logger, const QString &text)
{
    LOG4CXX_WARN(logger, text.toStdWString());
}

inline void error(const log4cxx::LoggerPtr &logger, const QString &text)
{
    LOG4CXX_ERROR(logger, text.toStdWString());
}

} // namespace ofdlog
