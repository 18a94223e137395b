#pragma once

// Collects the lines of one logger in a temporary file for checks.

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <log4cxx/fileappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>

class LogCapture
{
public:
    explicit LogCapture(const QString &loggerName)
        : logger(log4cxx::Logger::getLogger(loggerName.toStdString())), path(dir.filePath("log.txt"))
    {
        auto layout = std::make_shared<log4cxx::PatternLayout>("%p|%m%n");
        appender = std::make_shared<log4cxx::FileAppender>(layout, path.toStdString(), false);
        logger->addAppender(appender);
    }

    ~LogCapture()
    {
        logger->removeAppender(appender);
        appender->close();
    }

    // "LEVEL|message" per line.
    QStringList lines() const
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    int count(const QString &line) const { return int(lines().count(line)); }

private:
    QTemporaryDir dir;
    log4cxx::LoggerPtr logger;
    QString path;
    log4cxx::AppenderPtr appender;
};
