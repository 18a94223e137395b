#include "proxy/portopentrouble.h"

bool PortOpenTrouble::note(const Log &log, const QString &port, bool opened, const QString &error)
{
    if (opened) {
        if (!m_run.succeed())
            return false;
        log.info(m_run.endText(QStringLiteral("Port %1").arg(port), QStringLiteral("opened"), QStringLiteral("failing")));
        m_status.clear();
        return true;
    }
    m_status = QStringLiteral("Open %1: %2").arg(port, error);
    switch (m_run.fail(error)) {
    case RepeatedFailure::Say::First:
        log.error(error);
        break;
    case RepeatedFailure::Say::Reminder:
        log.error(m_run.reminderText(m_status));
        break;
    case RepeatedFailure::Say::Nothing:
        break;
    }
    return true;
}
