#pragma once

#include "service/settings.h"

// Installs the layout and the "console" and "file" appenders on the root logger.
void setupLogging(const Settings &settings, bool consoleLog);
