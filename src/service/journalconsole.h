#pragma once

#include <QString>

#include <log4cxx/appender.h>

// The console copy of the log when standard output is the systemd journal:
// each line carries its syslog priority ("<3>" ERROR and above, "<4>" WARN,
// "<6>" INFO, "<7>" DEBUG and below) and no time stamp, since the journal
// keeps its own. To keep the traffic lines out of the journal, the
// service's own logger (serviceLogger) passes from INFO (from DEBUG when
// level is "debug") and every other logger from level, "warn" when empty.
// Lines logged with the MDC key "journal" set pass like the service's own.
class JournalConsole
{
public:
    // Whether standard output is the journal: JOURNAL_STREAM names the
    // device and inode ("DEV:INODE") of the stream that stdout is.
    static bool isStdoutJournal();

    // A console appender on standard output with that layout and filter.
    static log4cxx::AppenderPtr makeAppender(const QString &serviceLogger, const QString &level);

    // The prefix for level ("<6>" and so on).
    static const char *priorityPrefix(int log4cxxLevel);
};
