#pragma once

#include "core/settings.h"

// Keeps log4cxx from configuring itself (from an environment variable or a
// log4cxx/log4j file in the working directory) when the first logger is
// fetched. Call at the very top of main(), before anything logs.
void preventLogAutoConfiguration();

// Installs the layout and the "console" and "file" appenders on the root logger.
void setupLogging(const Settings &settings, bool consoleLog);
