#pragma once

#include <QString>

#include <functional>

// A failure that repeats on a retry timer, told as a state rather than once
// per attempt: the first failure of an episode is worth an ERROR line, later
// ones at most one reminder per interval, and the end of the episode one
// INFO line. The caller logs; this class only decides and words the
// reminder and the end. Single-threaded: it lives with its owner.
class RepeatedFailure
{
public:
    enum class Say { First, Reminder, Nothing };

    // Milliseconds since the epoch; replaceable so tests need not wait.
    using Clock = std::function<qint64()>;

    explicit RepeatedFailure(qint64 reminderMs = 3600 * 1000, Clock clock = Clock());

    // One failed attempt; what to log about it.
    Say fail(const QString &text);
    // The thing worked again. True when an episode ended: log endText()
    // (call it before the next fail()).
    bool succeed();

    bool failing() const { return m_attempts > 0; }
    int attempts() const { return m_attempts; }
    // When the episode began, ms since the epoch (0 when none).
    qint64 since() const { return m_since; }
    QString lastText() const { return m_text; }

    // "<what> still failing: 4 attempts since 14:05"
    QString reminderText(const QString &what) const;
    // "<what> <verb> after 4 attempts, absent 3h12m"
    QString endText(const QString &what, const QString &verb = QStringLiteral("found"),
                    const QString &during = QStringLiteral("absent")) const;

    // "3h12m", "5m", "41s".
    static QString span(qint64 ms);
    // "1 attempt", "4 attempts".
    static QString attemptsText(int n);

private:
    qint64 now() const;

    qint64 m_reminderMs;
    Clock m_clock;
    int m_attempts = 0;
    qint64 m_since = 0;
    qint64 m_lastSaid = 0;
    // The episode just ended, kept for endText().
    int m_endedAttempts = 0;
    qint64 m_endedSpan = 0;
    QString m_text;
};
