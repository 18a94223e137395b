#pragma once

#include <QString>
#include <QStringList>

// "kiv -s [ID...] [--json | --prometheus] [-o FILE]": asks the running
// service for its devices and prints them. Exit codes: 0 answered and every
// device shown is ready or exchanging, 3 answered and some is not, 1 no
// service answered, 2 a usage error or an unknown ID, 4 not allowed.
class StatusClient
{
public:
    enum Exit { Healthy = 0, NoService = 1, Usage = 2, Unhealthy = 3, NotAllowed = 4 };

    explicit StatusClient(const QStringList &arguments);

    int run();
    static QString usage();

    // Writes text to path through a temporary file in the same directory,
    // synced and renamed over it, mode 0644; false with *error on failure.
    static bool writeAtomically(const QString &path, const QByteArray &text, QString *error);

private:
    enum class Form { Text, Json, Prometheus };

    bool parse(QString *problem);
    int deliver(const QString &text, int code);

    QStringList m_arguments;
    QStringList m_ids;
    Form m_form = Form::Text;
    QString m_output;
};
