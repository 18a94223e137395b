#pragma once

#include "core/settings.h"

#include <log4cxx/logger.h>

// Keeps log4cxx from configuring itself (from an environment variable or a
// log4cxx/log4j file in the working directory) when the first logger is
// fetched. Call at the very top of main(), before anything logs.
void preventLogAutoConfiguration();

// Installs the layout and the "console" and "file" appenders on the root logger.
void setupLogging(const Settings &settings, bool consoleLog);

// The logger "Debug-<id>" of a device's own log, writing to Debug.log in
// logsDir only (one appender per file for the whole process).
log4cxx::LoggerPtr deviceDebugLogger(const QString &id, const QString &logsDir);
