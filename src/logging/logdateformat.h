#pragma once

#include <QDateTime>
#include <QString>

namespace kiv {

// Date patterns of the rolling appender's file suffixes: text in single
// quotes is literal ('' is a quote), "yyyy"/"yy" the year, "MM" the month
// ("MMM" its short English name), "dd" the day, "D" the day of the year,
// "hh" or "HH" the hour 00-23, "mm" the minute, "ss" the second, "S" the
// milliseconds, "ww" the week of the year, "E" the weekday name and "a"
// AM/PM. Other letters are kept as they stand.
//
// Weeks start on Sunday and are counted within the date's own year: the
// first Sunday of a year begins week 01, the days before it are week 00
// (as strftime's %U). Every Sunday of a year thus has its own number, in
// order, so weekly file names stay unique and sort by age.
class LogDateFormat
{
public:
    static QString format(const QDateTime &dateTime, const QString &pattern);

    // Regular expression (without anchors) that matches exactly the texts
    // format() can give for the pattern.
    static QString regExp(const QString &pattern);

    static int weekOfYear(const QDate &date);
};

} // namespace kiv
