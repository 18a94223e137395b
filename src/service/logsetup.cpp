#include "service/logsetup.h"

#include "logging/consoleappender.h"
#include "logging/dailyrollingfileappender.h"
#include "logging/loglayout.h"
#include "logging/lostlines.h"
#include "service/journalconsole.h"
#include "service/service.h"

#include <QDir>

#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/spi/loggerrepository.h>

#include <clocale>
#include <map>
#include <mutex>
#include <cstring>
#include <langinfo.h>

namespace {

const char kLogFileName[] = "Kiv.log";
const char kConsoleAppenderName[] = "console";
const char kFileAppenderName[] = "file";
const int kMaxBackupIndex = 14;
const char kDebugLogFileName[] = "Debug.log";

// log4cxx converts narrow strings with the C library's character type: a
// service started without LANG would write Russian text as '?'.
void ensureUtf8CharacterType()
{
    const char *codeset = nl_langinfo(CODESET);
    if (codeset && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0))
        return;
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
        std::setlocale(LC_CTYPE, "en_US.UTF-8");
}

// One appender per debug log file for the whole process: two appenders on
// one file would each roll it over and archive over each other, and a
// device whose worker is re-created would write every line twice.
log4cxx::AppenderPtr sharedDebugAppender(const QString &fileName)
{
    static std::mutex mutex;
    static std::map<QString, log4cxx::AppenderPtr> appenders;
    std::lock_guard<std::mutex> guard(mutex);
    auto found = appenders.find(fileName);
    if (found != appenders.end())
        return found->second;

    auto appender = std::make_shared<kiv::DailyRollingFileAppender>();
    // Not the "file" appender's layout: sharing one across threads mangles lines.
    appender->setLayout(kiv::LogLayout::create());
    appender->setFile(fileName.toStdString());
    appender->setDatePattern(kiv::DailyRollingFileAppender::DAILY_ROLLOVER);
    appender->setAppend(true);
    appender->setMaxBackupIndex(kMaxBackupIndex);
    appender->setZip(true);
    appender->setEncoding(LOG4CXX_STR("UTF-8"));
    appender->setName(LOG4CXX_STR("Debug.log"));
    log4cxx::helpers::Pool pool;
    appender->activateOptions(pool);
    appenders.emplace(fileName, appender);
    return appender;
}

} // namespace

log4cxx::LoggerPtr deviceDebugLogger(const QString &id, const QString &logsDir)
{
    const log4cxx::AppenderPtr shared =
        sharedDebugAppender(QDir(logsDir).filePath(QLatin1String(kDebugLogFileName)));
    const log4cxx::LoggerPtr debugLog = log4cxx::Logger::getLogger((QStringLiteral("Debug-") + id).toStdWString());
    // Attach once: a re-created worker for the same device finds it there.
    const log4cxx::AppenderPtr attached = debugLog->getAppender(LOG4CXX_STR("Debug.log"));
    if (attached != shared) {
        if (attached)
            debugLog->removeAppender(attached);
        debugLog->addAppender(shared);
    }
    if (auto console = log4cxx::Logger::getRootLogger()->getAppender(LOG4CXX_STR(kConsoleAppenderName))) {
        if (!debugLog->isAttached(console))
            debugLog->addAppender(console);
    }
    debugLog->setAdditivity(false);
    return debugLog;
}

void preventLogAutoConfiguration()
{
    log4cxx::LogManager::getLoggerRepository()->setConfigured(true);
}

void setupLogging(const Settings &settings, bool consoleLog)
{
    preventLogAutoConfiguration();
    ensureUtf8CharacterType();

    log4cxx::helpers::Pool pool;
    const log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
    // Set up again, the appenders are replaced rather than doubled.
    root->removeAppender(LOG4CXX_STR(kConsoleAppenderName));
    root->removeAppender(LOG4CXX_STR(kFileAppenderName));

    // A layout of its own for each appender: they write on different threads.
    log4cxx::AppenderPtr reportTo;
    QString reportPlace;
    if (consoleLog && JournalConsole::isStdoutJournal()) {
        log4cxx::AppenderPtr console = JournalConsole::makeAppender(QString::fromLatin1(Service::kName),
                                                                     settings.journalLevel);
        console->setName(LOG4CXX_STR(kConsoleAppenderName));
        root->addAppender(console);
        reportTo = console;
        reportPlace = QStringLiteral("the journal");
    } else if (consoleLog) {
        auto console = std::make_shared<kiv::ConsoleAppender>();
        console->setLayout(kiv::LogLayout::create());
        console->setTarget(log4cxx::ConsoleAppender::getSystemOut());
        console->setName(LOG4CXX_STR(kConsoleAppenderName));
        console->activateOptions(pool);
        root->addAppender(console);
        reportTo = console;
        reportPlace = QStringLiteral("the console");
    }

    auto file = std::make_shared<kiv::DailyRollingFileAppender>();
    file->setLayout(kiv::LogLayout::create());
    file->setFile(QDir(settings.logsDir).filePath(QLatin1String(kLogFileName)).toStdString());
    file->setDatePattern(kiv::DailyRollingFileAppender::DAILY_ROLLOVER);
    file->setAppend(true);
    file->setMaxBackupIndex(kMaxBackupIndex);
    file->setZip(true);
    file->setName(LOG4CXX_STR(kFileAppenderName));
    // Every log file, the devices' debug logs too, says its failures there.
    kiv::LostLines::reportFailuresTo(reportTo, reportPlace);
    // Reports its own file problems; the service goes on either way.
    file->activateOptions(pool);
    root->addAppender(file);
}
