#pragma once

#include <QString>

#include <log4cxx/logger.h>

// A component's logger, looked up once. Texts go through log4cxx's wide API
// so that Russian lines keep their characters whatever the locale.
class Log
{
public:
    Log() = default;
    explicit Log(const QString &name) : m_logger(log4cxx::Logger::getLogger(name.toStdWString())) {}
    explicit Log(log4cxx::LoggerPtr logger) : m_logger(std::move(logger)) {}

    const log4cxx::LoggerPtr &logger() const { return m_logger; }
    bool isDebugEnabled() const { return m_logger->isDebugEnabled(); }

    void debug(const QString &text) const { LOG4CXX_DEBUG(m_logger, text.toStdWString()); }
    void info(const QString &text) const { LOG4CXX_INFO(m_logger, text.toStdWString()); }
    void warn(const QString &text) const { LOG4CXX_WARN(m_logger, text.toStdWString()); }
    void error(const QString &text) const { LOG4CXX_ERROR(m_logger, text.toStdWString()); }

private:
    log4cxx::LoggerPtr m_logger;
};
