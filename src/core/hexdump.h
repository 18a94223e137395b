#pragma once

#include <QByteArray>
#include <QString>

// Traffic as text for log lines: "0A FF (2 bytes)".
QString hexDump(const QByteArray &data);
