#include "service/journalconsole.h"

#include "logging/consoleappender.h"

#include <QByteArray>
#include <QList>

#include <log4cxx/consoleappender.h>
#include <log4cxx/level.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/spi/filter.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kJournalPattern[] = "[%c] %m%n";

class PriorityLayout : public log4cxx::PatternLayout
{
public:
    void format(log4cxx::LogString &output, const log4cxx::spi::LoggingEventPtr &event,
                log4cxx::helpers::Pool &pool) const override
    {
        log4cxx::LogString line;
        PatternLayout::format(line, event, pool);
        LOG4CXX_DECODE_CHAR(prefix, std::string(JournalConsole::priorityPrefix(event->getLevel()->toInt())));
        output.append(prefix);
        output.append(line);
    }
};

class LoggerLevelFilter : public log4cxx::spi::Filter
{
public:
    LoggerLevelFilter(const log4cxx::LogString &serviceLogger, log4cxx::LevelPtr serviceLevel,
                      log4cxx::LevelPtr otherLevel)
        : m_serviceLogger(serviceLogger), m_serviceLevel(std::move(serviceLevel)), m_otherLevel(std::move(otherLevel))
    {
    }

    FilterDecision decide(const log4cxx::spi::LoggingEventPtr &event) const override
    {
        // A line marked for the journal (a session's accounting) passes
        // like the service's own.
        log4cxx::LogString mark;
        const bool own = event->getLoggerName() == m_serviceLogger
                         || (event->getMDC(LOG4CXX_STR("journal"), mark) && !mark.empty());
        const log4cxx::LevelPtr &floor = own ? m_serviceLevel : m_otherLevel;
        return event->getLevel()->isGreaterOrEqual(floor) ? NEUTRAL : DENY;
    }

private:
    log4cxx::LogString m_serviceLogger;
    log4cxx::LevelPtr m_serviceLevel;
    log4cxx::LevelPtr m_otherLevel;
};

log4cxx::LevelPtr levelNamed(const QString &name)
{
    if (name == QLatin1String("debug"))
        return log4cxx::Level::getDebug();
    if (name == QLatin1String("info"))
        return log4cxx::Level::getInfo();
    if (name == QLatin1String("error"))
        return log4cxx::Level::getError();
    return log4cxx::Level::getWarn();
}

} // namespace

bool JournalConsole::isStdoutJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const QList<QByteArray> parts = stream.split(':');
    if (parts.size() != 2)
        return false;
    bool devOk = false;
    bool inodeOk = false;
    const qulonglong dev = parts.at(0).toULongLong(&devOk);
    const qulonglong inode = parts.at(1).toULongLong(&inodeOk);
    struct stat st{};
    if (!devOk || !inodeOk || ::fstat(STDOUT_FILENO, &st) != 0)
        return false;
    return qulonglong(st.st_dev) == dev && qulonglong(st.st_ino) == inode;
}

const char *JournalConsole::priorityPrefix(int level)
{
    if (level >= log4cxx::Level::ERROR_INT)
        return "<3>";
    if (level >= log4cxx::Level::WARN_INT)
        return "<4>";
    if (level >= log4cxx::Level::INFO_INT)
        return "<6>";
    return "<7>";
}

log4cxx::AppenderPtr JournalConsole::makeAppender(const QString &serviceLogger, const QString &level)
{
    log4cxx::helpers::Pool pool;
    auto layout = std::make_shared<PriorityLayout>();
    layout->setConversionPattern(LOG4CXX_STR(kJournalPattern));
    layout->activateOptions(pool);

    const log4cxx::LevelPtr other = levelNamed(level);
    const log4cxx::LevelPtr own = level == QLatin1String("debug") ? log4cxx::Level::getDebug() : log4cxx::Level::getInfo();
    LOG4CXX_DECODE_CHAR(serviceName, serviceLogger.toStdString());

    // Ours: a failing standard output drops lines instead of throwing.
    auto console = std::make_shared<kiv::ConsoleAppender>();
    console->setLayout(layout);
    console->setTarget(log4cxx::ConsoleAppender::getSystemOut());
    console->addFilter(std::make_shared<LoggerLevelFilter>(serviceName, own, other));
    console->activateOptions(pool);
    return console;
}
