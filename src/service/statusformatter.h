#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// Turns the service's status document (schema 1) into what "-s" prints: the
// table, one device in detail, the JSON for scripts and the text
// exposition for a metrics collector. Pure: the time is given.
class StatusFormatter
{
public:
    // The document with only the devices named (all when ids is empty).
    static QJsonObject select(const QJsonObject &doc, const QStringList &ids);
    // Whether every device in doc is ready or exchanging.
    static bool allHealthy(const QJsonObject &doc);

    static QString table(const QJsonObject &doc, qint64 nowMs);
    static QString detail(const QJsonObject &doc, qint64 nowMs);
    static QString json(const QJsonObject &doc);
    static QString prometheus(const QJsonObject &doc);
    // What a collector gets when no service answers.
    static QString prometheusDown();

    // "41s ago", "3h12m ago"; "-" for a missing time.
    static QString age(const QString &rfc3339, qint64 nowMs);
    // "512 B", "1.5 KiB", "3.2 MiB".
    static QString bytes(qint64 count);
};
