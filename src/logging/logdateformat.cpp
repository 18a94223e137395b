#include "logging/logdateformat.h"

#include <QLocale>
#include <QRegularExpression>

namespace kiv {

namespace {

struct Token
{
    QChar letter;   // null for literal text
    int count = 0;
    QString text;
};

bool isPatternLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

QList<Token> tokenize(const QString &pattern)
{
    QList<Token> tokens;
    auto appendLiteral = [&tokens](const QString &text) {
        if (!tokens.isEmpty() && tokens.last().letter.isNull())
            tokens.last().text += text;
        else
            tokens.append(Token{QChar(), 0, text});
    };

    const int n = pattern.size();
    for (int i = 0; i < n;) {
        const QChar c = pattern.at(i);
        if (c == QLatin1Char('\'')) {
            if (i + 1 < n && pattern.at(i + 1) == QLatin1Char('\'')) {
                appendLiteral(QStringLiteral("'"));
                i += 2;
                continue;
            }
            // Quoted text up to the closing quote (or the end).
            QString text;
            ++i;
            while (i < n) {
                if (pattern.at(i) == QLatin1Char('\'')) {
                    if (i + 1 < n && pattern.at(i + 1) == QLatin1Char('\'')) {
                        text += QLatin1Char('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                text += pattern.at(i++);
            }
            appendLiteral(text);
        } else if (isPatternLetter(c)) {
            int count = 0;
            while (i < n && pattern.at(i) == c) {
                ++count;
                ++i;
            }
            tokens.append(Token{c, count, QString()});
        } else {
            appendLiteral(QString(c));
            ++i;
        }
    }
    return tokens;
}

QString number(int value, int width)
{
    return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0'));
}

QString numberRegExp(int width)
{
    // Zero-padded to the width, longer when the value needs it.
    return QStringLiteral("\\d{%1,}").arg(qMax(width, 1));
}

} // namespace

int LogDateFormat::weekOfYear(const QDate &date)
{
    const int yearDay = date.dayOfYear() - 1;
    const int weekDay = date.dayOfWeek() % 7; // Sunday 0
    return (yearDay + 7 - weekDay) / 7;
}

QString LogDateFormat::format(const QDateTime &dateTime, const QString &pattern)
{
    const QLocale c = QLocale::c();
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    QString result;
    for (const Token &t : tokenize(pattern)) {
        switch (t.letter.unicode()) {
        case 0:
            result += t.text;
            break;
        case 'y':
            result += t.count == 2 ? number(date.year() % 100, 2) : number(date.year(), t.count);
            break;
        case 'M':
            if (t.count >= 4)
                result += c.monthName(date.month(), QLocale::LongFormat);
            else if (t.count == 3)
                result += c.monthName(date.month(), QLocale::ShortFormat);
            else
                result += number(date.month(), t.count);
            break;
        case 'd':
            result += number(date.day(), t.count);
            break;
        case 'D':
            result += number(date.dayOfYear(), t.count);
            break;
        case 'w':
            result += number(weekOfYear(date), t.count);
            break;
        case 'h':
        case 'H':
            result += number(time.hour(), t.count);
            break;
        case 'm':
            result += number(time.minute(), t.count);
            break;
        case 's':
            result += number(time.second(), t.count);
            break;
        case 'S':
            result += number(time.msec(), t.count);
            break;
        case 'E':
            result += c.dayName(date.dayOfWeek(),
                                t.count >= 4 ? QLocale::LongFormat : QLocale::ShortFormat);
            break;
        case 'a':
            result += time.hour() < 12 ? QStringLiteral("AM") : QStringLiteral("PM");
            break;
        default:
            result += QString(t.count, t.letter);
            break;
        }
    }
    return result;
}

QString LogDateFormat::regExp(const QString &pattern)
{
    QString result;
    for (const Token &t : tokenize(pattern)) {
        switch (t.letter.unicode()) {
        case 0:
            result += QRegularExpression::escape(t.text);
            break;
        case 'M':
            result += t.count >= 3 ? QStringLiteral("[A-Za-z]+") : numberRegExp(t.count);
            break;
        case 'y':
        case 'd':
        case 'D':
        case 'w':
        case 'h':
        case 'H':
        case 'm':
        case 's':
        case 'S':
            result += numberRegExp(t.count);
            break;
        case 'E':
            result += QStringLiteral("[A-Za-z]+");
            break;
        case 'a':
            result += QStringLiteral("(?:AM|PM)");
            break;
        default:
            result += QRegularExpression::escape(QString(t.count, t.letter));
            break;
        }
    }
    return result;
}

} // namespace kiv
