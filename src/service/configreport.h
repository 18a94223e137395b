#pragma once

#include "core/settings.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a configuration file holds and what is wrong with it, in the words
// the operator reads: "--check-config", the lines the start logs about the
// file, why a reload leaves a file unused, and the id lists of these lines.
class ConfigReport
{
public:
    struct Line
    {
        bool warning = false;
        QString text;
    };

    // "--check-config": prints what path holds and what is wrong with it;
    // returns the exit code.
    static int check(const QString &path);
    // The lines the start logs about the file it read settings from.
    static QList<Line> startLines(const SettingsReport &report, const Settings &settings);
    // Why a reload does not use the file of report (not found, unreadable
    // or malformed).
    static QString unusedBecause(const SettingsReport &report);

    // Every field of a serial entry; a reload compares entries by it.
    static QString comLine(const ComDeviceSettings &entry);
    // "[a, b]", each id once.
    static QString idList(QStringList ids);
    // The configured USB devices' ids as an idList.
    static QString usbIds(const Settings &settings);
};
