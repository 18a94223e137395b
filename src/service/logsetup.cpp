#include "service/logsetup.h"

// Placeholder until the log set-up is built.
void setupLogging(const Settings &settings, bool consoleLog)
{
    Q_UNUSED(settings);
    Q_UNUSED(consoleLog);
}
