#include "service/statusformatter.h"

#include "core/repeatedfailure.h"
#include "service/statusregistry.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QString str(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QStringLiteral("-");
}

qint64 msOf(const QString &rfc3339)
{
    const QDateTime at = QDateTime::fromString(rfc3339, Qt::ISODateWithMs);
    return at.isValid() ? at.toMSecsSinceEpoch() : 0;
}

QString shownTime(const QJsonValue &value, qint64 nowMs)
{
    if (!value.isString())
        return QStringLiteral("-");
    return QStringLiteral("%1 (%2)").arg(value.toString(), StatusFormatter::age(value.toString(), nowMs));
}

// Label values escaped as the exposition format wants them.
QString label(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('"'))
            out += QStringLiteral("\\\"");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

QString number(double value)
{
    return QString::number(value, 'g', 15);
}

class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n")
                      .arg(QLatin1String(name), QLatin1String(help), QLatin1String(type));
    }
    void sample(const QString &name, const QList<QPair<QString, QString>> &labels, const QString &value)
    {
        m_text += name;
        if (!labels.isEmpty()) {
            QStringList parts;
            for (const auto &l : labels)
                parts << QStringLiteral("%1=\"%2\"").arg(l.first, label(l.second));
            m_text += QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
        }
        m_text += QLatin1Char(' ') + value + QLatin1Char('\n');
    }
    void sample(const char *name, const QList<QPair<QString, QString>> &labels, double value)
    {
        sample(QLatin1String(name), labels, number(value));
    }
    QString text() const { return m_text; }

private:
    QString m_text;
};

using Labels = QList<QPair<QString, QString>>;

Labels dev(const QJsonObject &device)
{
    return {{QStringLiteral("device"), device.value(QStringLiteral("id")).toString()}};
}

Labels dev(const QJsonObject &device, const char *name, const QString &value)
{
    Labels l = dev(device);
    l.append({QLatin1String(name), value});
    return l;
}

double seconds(const QJsonValue &value)
{
    return value.isString() ? double(msOf(value.toString())) / 1000.0 : 0;
}

} // namespace

QJsonObject StatusFormatter::select(const QJsonObject &doc, const QStringList &ids)
{
    if (ids.isEmpty())
        return doc;
    QJsonArray kept;
    const QJsonArray devices = doc.value(QStringLiteral("devices")).toArray();
    for (const QString &id : ids) {
        for (const QJsonValue &device : devices) {
            if (device.toObject().value(QStringLiteral("id")).toString() == id)
                kept.append(device);
        }
    }
    QJsonObject out = doc;
    out.insert(QStringLiteral("devices"), kept);
    return out;
}

bool StatusFormatter::allHealthy(const QJsonObject &doc)
{
    for (const QJsonValue &device : doc.value(QStringLiteral("devices")).toArray()) {
        const QString state = device.toObject().value(QStringLiteral("state")).toString();
        if (state != QLatin1String("ready") && state != QLatin1String("exchanging"))
            return false;
    }
    return true;
}

QString StatusFormatter::age(const QString &rfc3339, qint64 nowMs)
{
    const qint64 at = msOf(rfc3339);
    if (at == 0)
        return QStringLiteral("-");
    return RepeatedFailure::span(nowMs - at) + QStringLiteral(" ago");
}

QString StatusFormatter::bytes(qint64 count)
{
    if (count < 1024)
        return QStringLiteral("%1 B").arg(count);
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(count);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString StatusFormatter::table(const QJsonObject &doc, qint64 nowMs)
{
    const QJsonObject service = doc.value(QStringLiteral("service")).toObject();
    const QJsonObject reload = service.value(QStringLiteral("reload")).toObject();
    QString out = QStringLiteral("Kiv %1").arg(service.value(QStringLiteral("version")).toString());
    if (service.value(QStringLiteral("commit")).isString())
        out += QStringLiteral(" (commit %1)").arg(service.value(QStringLiteral("commit")).toString());
    out += QStringLiteral(", pid %1, up since %2\n")
               .arg(service.value(QStringLiteral("pid")).toInteger())
               .arg(shownTime(service.value(QStringLiteral("started")), nowMs));
    out += QStringLiteral("settings: %1\n").arg(str(service.value(QStringLiteral("settings"))));
    if (reload.value(QStringLiteral("at")).isString())
        out += QStringLiteral("last reload: %1, %2: %3\n")
                   .arg(shownTime(reload.value(QStringLiteral("at")), nowMs),
                        reload.value(QStringLiteral("ok")).toBool() ? QStringLiteral("ok") : QStringLiteral("failed"),
                        str(reload.value(QStringLiteral("text"))));
    else
        out += QStringLiteral("last reload: none\n");

    QList<QStringList> rows;
    rows << QStringList{QStringLiteral("ID"), QStringLiteral("KIND"), QStringLiteral("PORT"), QStringLiteral("STATE"),
                        QStringLiteral("SINCE"), QStringLiteral("LAST-EXCHANGE"), QStringLiteral("SESSIONS"),
                        QStringLiteral("FAILED"), QStringLiteral("TO-OFD"), QStringLiteral("FROM-OFD"),
                        QStringLiteral("SERVER")};
    for (const QJsonValue &value : doc.value(QStringLiteral("devices")).toArray()) {
        const QJsonObject d = value.toObject();
        const QJsonObject c = d.value(QStringLiteral("counters")).toObject();
        const QJsonObject last = d.value(QStringLiteral("last_exchange")).toObject();
        const qint64 failed = c.value(QStringLiteral("sessions_incomplete")).toInteger()
                              + c.value(QStringLiteral("sessions_failed")).toInteger();
        const qint64 sessions = c.value(QStringLiteral("sessions_ok")).toInteger() + failed;
        QString server = str(last.value(QStringLiteral("server")));
        for (const QJsonValue &ch : d.value(QStringLiteral("channels")).toArray()) {
            const QJsonObject channel = ch.toObject();
            if (channel.value(QStringLiteral("state")).toString() != QLatin1String("idle")) {
                server = str(channel.value(QStringLiteral("server")));
                break;
            }
        }
        QString exchanged = age(last.value(QStringLiteral("at")).toString(), nowMs);
        if (last.value(QStringLiteral("result")).isString())
            exchanged += QLatin1Char(' ') + last.value(QStringLiteral("result")).toString();
        rows << QStringList{d.value(QStringLiteral("id")).toString(), d.value(QStringLiteral("kind")).toString(),
                            str(d.value(QStringLiteral("port"))), d.value(QStringLiteral("state")).toString(),
                            age(d.value(QStringLiteral("since")).toString(), nowMs), exchanged,
                            QString::number(sessions), QString::number(failed),
                            bytes(c.value(QStringLiteral("bytes_to_ofd")).toInteger()),
                            bytes(c.value(QStringLiteral("bytes_from_ofd")).toInteger()), server};
    }
    QList<int> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], int(row.at(i).size()));
    }
    out += QLatin1Char('\n');
    for (const QStringList &row : std::as_const(rows)) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        out += line + QLatin1Char('\n');
    }
    return out;
}

QString StatusFormatter::detail(const QJsonObject &doc, qint64 nowMs)
{
    QString out;
    for (const QJsonValue &value : doc.value(QStringLiteral("devices")).toArray()) {
        const QJsonObject d = value.toObject();
        const QJsonObject c = d.value(QStringLiteral("counters")).toObject();
        const QJsonObject last = d.value(QStringLiteral("last_exchange")).toObject();
        const QJsonObject error = d.value(QStringLiteral("last_error")).toObject();
        auto count = [&c](const char *key) { return c.value(QLatin1String(key)).toInteger(); };
        if (!out.isEmpty())
            out += QLatin1Char('\n');
        out += QStringLiteral("device %1 (%2, port %3)\n")
                   .arg(d.value(QStringLiteral("id")).toString(), d.value(QStringLiteral("kind")).toString(),
                        str(d.value(QStringLiteral("port"))));
        out += QStringLiteral("  state:          %1 since %2%3\n")
                   .arg(d.value(QStringLiteral("state")).toString(), shownTime(d.value(QStringLiteral("since")), nowMs),
                        d.value(QStringLiteral("stalled")).toBool() ? QStringLiteral(", stalled") : QString());
        out += QStringLiteral("  last frame:     %1\n").arg(shownTime(d.value(QStringLiteral("last_frame")), nowMs));
        if (last.value(QStringLiteral("at")).isString())
            out += QStringLiteral("  last exchange:  %1, %2 s, %3, %4\n")
                       .arg(last.value(QStringLiteral("result")).toString())
                       .arg(last.value(QStringLiteral("seconds")).toDouble(), 0, 'f', 3)
                       .arg(str(last.value(QStringLiteral("server"))), shownTime(last.value(QStringLiteral("at")), nowMs));
        else
            out += QStringLiteral("  last exchange:  none\n");
        out += QStringLiteral("  sessions:       %1 ok, %2 incomplete, %3 failed to connect\n")
                   .arg(count("sessions_ok"))
                   .arg(count("sessions_incomplete"))
                   .arg(count("sessions_failed"));
        out += QStringLiteral("  bytes:          %1 to OFD, %2 from OFD, %3 undelivered\n")
                   .arg(bytes(count("bytes_to_ofd")), bytes(count("bytes_from_ofd")), bytes(count("bytes_undelivered")));
        out += QStringLiteral("  frames dropped: %1; port reopens: %2\n").arg(count("frames_dropped")).arg(count("port_reopens"));
        for (const QJsonValue &ch : d.value(QStringLiteral("channels")).toArray()) {
            const QJsonObject channel = ch.toObject();
            const QString state = channel.value(QStringLiteral("state")).toString();
            out += QStringLiteral("  channel %1:      %2").arg(channel.value(QStringLiteral("ch")).toInt()).arg(state);
            if (state != QLatin1String("idle")) {
                out += QStringLiteral(", server %1, addr %2, opened %3\n"
                                      "                  sent %4, received %5, queued to device %6, to OFD %7, grant %8")
                           .arg(str(channel.value(QStringLiteral("server"))), str(channel.value(QStringLiteral("addr"))),
                                age(channel.value(QStringLiteral("opened")).toString(), nowMs),
                                bytes(channel.value(QStringLiteral("sent")).toInteger()),
                                bytes(channel.value(QStringLiteral("received")).toInteger()),
                                bytes(channel.value(QStringLiteral("queued_to_device")).toInteger()),
                                bytes(channel.value(QStringLiteral("queued_to_ofd")).toInteger()))
                           .arg(channel.value(QStringLiteral("grant")).toInt());
            }
            out += QLatin1Char('\n');
        }
        if (error.value(QStringLiteral("text")).isString()) {
            out += QStringLiteral("  last error:     %1, %2\n")
                       .arg(error.value(QStringLiteral("text")).toString(), shownTime(error.value(QStringLiteral("at")), nowMs));
            const qint64 attempts = error.value(QStringLiteral("attempts")).toInteger();
            if (attempts > 0)
                out += QStringLiteral("  failing:        %1 attempts since %2\n")
                           .arg(attempts)
                           .arg(shownTime(error.value(QStringLiteral("since")), nowMs));
        } else {
            out += QStringLiteral("  last error:     none\n");
        }
    }
    return out;
}

QString StatusFormatter::json(const QJsonObject &doc)
{
    return QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Indented));
}

QString StatusFormatter::prometheusDown()
{
    Exposition e;
    e.family("kiv_up", "gauge", "Whether the Kiv service answered (1) or not (0).");
    e.sample("kiv_up", {}, 0);
    return e.text();
}

QString StatusFormatter::prometheus(const QJsonObject &doc)
{
    const QJsonObject service = doc.value(QStringLiteral("service")).toObject();
    const QJsonArray devices = doc.value(QStringLiteral("devices")).toArray();
    Exposition e;
    e.family("kiv_up", "gauge", "Whether the Kiv service answered (1) or not (0).");
    e.sample("kiv_up", {}, 1);
    e.family("kiv_build_info", "gauge", "Version and commit of the running service.");
    e.sample("kiv_build_info",
             {{QStringLiteral("version"), service.value(QStringLiteral("version")).toString()},
              {QStringLiteral("commit"), service.value(QStringLiteral("commit")).toString()}},
             1);
    e.family("kiv_start_time_seconds", "gauge", "When the service started, seconds since the epoch.");
    e.sample("kiv_start_time_seconds", {}, seconds(service.value(QStringLiteral("started"))));
    e.family("kiv_config_last_reload_successful", "gauge", "Whether the last reload of the configuration worked.");
    const QJsonValue reloadOk = service.value(QStringLiteral("reload")).toObject().value(QStringLiteral("ok"));
    e.sample("kiv_config_last_reload_successful", {}, reloadOk.isBool() && !reloadOk.toBool() ? 0 : 1);
    e.family("kiv_log_lines_lost_total", "counter", "Log lines lost because a log output could not be written.");
    e.sample("kiv_log_lines_lost_total", {}, double(service.value(QStringLiteral("log_lines_lost")).toInteger()));

    auto each = [&devices](const std::function<void(const QJsonObject &)> &f) {
        for (const QJsonValue &value : devices)
            f(value.toObject());
    };
    auto counter = [](const QJsonObject &d, const char *key) {
        return double(d.value(QStringLiteral("counters")).toObject().value(QLatin1String(key)).toInteger());
    };

    e.family("kiv_device_info", "gauge", "A device the service serves.");
    each([&](const QJsonObject &d) {
        Labels l = dev(d);
        l.append({QStringLiteral("kind"), d.value(QStringLiteral("kind")).toString()});
        l.append({QStringLiteral("port"), d.value(QStringLiteral("port")).toString()});
        e.sample("kiv_device_info", l, 1);
    });
    e.family("kiv_device_state", "gauge", "The device's state: 1 for the current one.");
    each([&](const QJsonObject &d) {
        const QString current = d.value(QStringLiteral("state")).toString();
        for (const QString &state : StatusRegistry::stateNames())
            e.sample("kiv_device_state", dev(d, "state", state), state == current ? 1 : 0);
    });
    e.family("kiv_device_stalled", "gauge", "Whether the device's worker is stalled.");
    each([&](const QJsonObject &d) { e.sample("kiv_device_stalled", dev(d), d.value(QStringLiteral("stalled")).toBool() ? 1 : 0); });
    e.family("kiv_device_port_reopens_total", "counter", "Times the device's port was opened again.");
    each([&](const QJsonObject &d) { e.sample("kiv_device_port_reopens_total", dev(d), counter(d, "port_reopens")); });
    e.family("kiv_device_frames_dropped_total", "counter", "Frames dropped: bad CRC, broken framing, outbox overflow.");
    each([&](const QJsonObject &d) {
        const QJsonObject by = d.value(QStringLiteral("frames_dropped_by")).toObject();
        QStringList reasons{QStringLiteral("crc"), QStringLiteral("framing"), QStringLiteral("overflow")};
        for (const QString &reason : by.keys()) {
            if (!reasons.contains(reason))
                reasons.append(reason);
        }
        for (const QString &reason : std::as_const(reasons))
            e.sample("kiv_device_frames_dropped_total", dev(d, "reason", reason), double(by.value(reason).toInteger()));
    });
    e.family("kiv_ofd_sessions_total", "counter", "OFD sessions ended, by result.");
    each([&](const QJsonObject &d) {
        e.sample("kiv_ofd_sessions_total", dev(d, "result", QStringLiteral("ok")), counter(d, "sessions_ok"));
        e.sample("kiv_ofd_sessions_total", dev(d, "result", QStringLiteral("incomplete")), counter(d, "sessions_incomplete"));
        e.sample("kiv_ofd_sessions_total", dev(d, "result", QStringLiteral("connect_failed")), counter(d, "sessions_failed"));
    });
    e.family("kiv_ofd_last_success_timestamp_seconds", "gauge", "End of the last complete OFD session (0: none).");
    each([&](const QJsonObject &d) {
        e.sample("kiv_ofd_last_success_timestamp_seconds", dev(d), seconds(d.value(QStringLiteral("last_success"))));
    });
    e.family("kiv_ofd_sent_bytes_total", "counter", "Bytes written to OFD servers.");
    each([&](const QJsonObject &d) { e.sample("kiv_ofd_sent_bytes_total", dev(d), counter(d, "bytes_to_ofd")); });
    e.family("kiv_ofd_received_bytes_total", "counter", "Bytes read from OFD servers.");
    each([&](const QJsonObject &d) { e.sample("kiv_ofd_received_bytes_total", dev(d), counter(d, "bytes_from_ofd")); });
    e.family("kiv_ofd_undelivered_bytes_total", "counter", "Bytes Kiv took and never passed on, by direction.");
    each([&](const QJsonObject &d) {
        const QJsonObject u = d.value(QStringLiteral("undelivered")).toObject();
        e.sample("kiv_ofd_undelivered_bytes_total", dev(d, "direction", QStringLiteral("to_ofd")),
                 double(u.value(QStringLiteral("to_ofd")).toInteger()));
        e.sample("kiv_ofd_undelivered_bytes_total", dev(d, "direction", QStringLiteral("to_device")),
                 double(u.value(QStringLiteral("to_device")).toInteger()));
    });
    e.family("kiv_ofd_session_duration_seconds", "histogram", "How long OFD sessions lasted.");
    each([&](const QJsonObject &d) {
        const QJsonObject h = d.value(QStringLiteral("session_seconds")).toObject();
        const QJsonArray le = h.value(QStringLiteral("le")).toArray();
        const QJsonArray counts = h.value(QStringLiteral("counts")).toArray();
        qint64 total = 0;
        for (int i = 0; i < counts.size(); ++i) {
            total += counts.at(i).toInteger();
            const QString bound = i < le.size() ? number(le.at(i).toDouble()) : QStringLiteral("+Inf");
            e.sample(QStringLiteral("kiv_ofd_session_duration_seconds_bucket"), dev(d, "le", bound), QString::number(total));
        }
        e.sample(QStringLiteral("kiv_ofd_session_duration_seconds_sum"), dev(d), number(h.value(QStringLiteral("sum")).toDouble()));
        e.sample(QStringLiteral("kiv_ofd_session_duration_seconds_count"), dev(d), QString::number(total));
    });
    return e.text();
}
