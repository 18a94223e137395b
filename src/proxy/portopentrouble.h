#pragma once

#include "core/log.h"
#include "core/repeatedfailure.h"

#include <QString>

// The failing opens of one serial port told as a run: the first failure of
// a run is an ERROR, then one reminder an hour, and one line when the port
// opens again.
class PortOpenTrouble
{
public:
    // Logs one attempt to open port. True when the port's trouble changed
    // (a failure, or the end of a run): statusText(), attempts() and since()
    // tell it then.
    bool note(const Log &log, const QString &port, bool opened, const QString &error);

    // "Open <port>: <error>" while failing, empty otherwise.
    QString statusText() const { return m_status; }
    int attempts() const { return m_run.attempts(); }
    qint64 since() const { return m_run.since(); }

private:
    RepeatedFailure m_run;
    QString m_status;
};
