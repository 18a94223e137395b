#include "core/repeatedfailure.h"

#include <QDateTime>

RepeatedFailure::RepeatedFailure(qint64 reminderMs, Clock clock)
    : m_reminderMs(reminderMs), m_clock(std::move(clock))
{
}

qint64 RepeatedFailure::now() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

RepeatedFailure::Say RepeatedFailure::fail(const QString &text)
{
    const qint64 at = now();
    m_text = text;
    if (m_attempts++ == 0) {
        m_since = at;
        m_lastSaid = at;
        return Say::First;
    }
    if (at - m_lastSaid >= m_reminderMs) {
        m_lastSaid = at;
        return Say::Reminder;
    }
    return Say::Nothing;
}

bool RepeatedFailure::succeed()
{
    if (m_attempts == 0)
        return false;
    m_endedAttempts = m_attempts;
    m_endedSpan = now() - m_since;
    m_attempts = 0;
    m_since = 0;
    m_lastSaid = 0;
    return true;
}

QString RepeatedFailure::reminderText(const QString &what) const
{
    const QString at = QDateTime::fromMSecsSinceEpoch(m_since).toString(QStringLiteral("HH:mm"));
    return QStringLiteral("%1 still failing: %2 since %3").arg(what, attemptsText(m_attempts), at);
}

QString RepeatedFailure::endText(const QString &what, const QString &verb, const QString &during) const
{
    return QStringLiteral("%1 %2 after %3, %4 %5").arg(what, verb, attemptsText(m_endedAttempts), during, span(m_endedSpan));
}

QString RepeatedFailure::attemptsText(int n)
{
    return n == 1 ? QStringLiteral("1 attempt") : QStringLiteral("%1 attempts").arg(n);
}

QString RepeatedFailure::span(qint64 ms)
{
    const qint64 s = qMax<qint64>(0, ms / 1000);
    if (s < 60)
        return QStringLiteral("%1s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1m").arg(s / 60);
    if (s < 86400)
        return QStringLiteral("%1h%2m").arg(s / 3600).arg(s % 3600 / 60);
    return QStringLiteral("%1d%2h").arg(s / 86400).arg(s % 86400 / 3600);
}
