#include "service/statusregistry.h"

#include "logging/lostlines.h"
#include "ofd/ofdworker.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonValue timeValue(qint64 ms)
{
    if (ms <= 0)
        return QJsonValue(QJsonValue::Null);
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonValue textValue(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonObject channelJson(const SessionRecord &r)
{
    const bool live = r.number > 0 && !r.ended();
    QJsonObject o;
    o.insert(QStringLiteral("ch"), r.ch);
    o.insert(QStringLiteral("state"), live ? SessionRecord::stateName(r.state) : QStringLiteral("idle"));
    o.insert(QStringLiteral("server"), r.number > 0 ? QJsonValue(r.server()) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("addr"), textValue(r.addr));
    o.insert(QStringLiteral("opened"), timeValue(r.openedMs));
    o.insert(QStringLiteral("sent"), r.written);
    o.insert(QStringLiteral("received"), r.read);
    o.insert(QStringLiteral("queued_to_device"), r.queuedToDevice);
    o.insert(QStringLiteral("queued_to_ofd"), r.queuedToOfd);
    o.insert(QStringLiteral("grant"), live ? QJsonValue(r.grant) : QJsonValue(QJsonValue::Null));
    return o;
}

} // namespace

const QList<double> &StatusRegistry::durationBuckets()
{
    static const QList<double> buckets{0.1, 0.5, 1, 2, 5, 10, 30, 60, 300};
    return buckets;
}

StatusRegistry::Counters StatusRegistry::Device::counters() const
{
    Counters c = closed;
    for (const SessionRecord &r : channels) {
        if (r.number > 0 && !r.ended()) {
            c.bytesToOfd += r.written;
            c.bytesFromOfd += r.read;
        }
    }
    return c;
}

StatusRegistry::StatusRegistry(QObject *parent) : QObject(parent) {}

qint64 StatusRegistry::now() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

QString StatusRegistry::stateName(DeviceState state)
{
    switch (state) {
    case DeviceState::Absent: return QStringLiteral("absent");
    case DeviceState::Opening: return QStringLiteral("opening");
    case DeviceState::Handshake: return QStringLiteral("handshake");
    case DeviceState::Ready: return QStringLiteral("ready");
    case DeviceState::Exchanging: return QStringLiteral("exchanging");
    case DeviceState::Paused: return QStringLiteral("paused");
    case DeviceState::Stopping: return QStringLiteral("stopping");
    }
    return QStringLiteral("absent");
}

QStringList StatusRegistry::stateNames()
{
    return {QStringLiteral("absent"), QStringLiteral("opening"), QStringLiteral("handshake"), QStringLiteral("ready"),
            QStringLiteral("exchanging"), QStringLiteral("paused"), QStringLiteral("stopping")};
}

bool StatusRegistry::isHealthy(DeviceState state)
{
    return state == DeviceState::Ready || state == DeviceState::Exchanging;
}

void StatusRegistry::addDevice(const QString &id, const QString &kind, const QString &port)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end()) {
        Device device;
        device.id = id;
        device.sinceMs = now();
        device.durationCounts = QList<qint64>(durationBuckets().size() + 1, 0);
        for (int n = 0; n < 2; ++n)
            device.channels[n].ch = n;
        found = m_devices.insert(id, device);
        m_order.append(id);
    }
    Device &device = *found;
    device.kind = kind;
    device.port = port;
    // A new pair starts from a closed port; the counters stay.
    device.portOpen = false;
    device.portTrouble = false;
    device.lostInSession = false;
    device.stopping = false;
    device.link = OfdWorker::Down;
    device.failingAttempts = 0;
    update(device);
}

void StatusRegistry::removeDevice(const QString &id)
{
    if (m_devices.remove(id) > 0) {
        m_order.removeAll(id);
        emit deviceChanged(id);
    }
}

void StatusRegistry::setStopping(const QString &id)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    found->stopping = true;
    update(*found);
}

const StatusRegistry::Device *StatusRegistry::device(const QString &id) const
{
    auto found = m_devices.constFind(id);
    return found == m_devices.constEnd() ? nullptr : &*found;
}

void StatusRegistry::setStalled(const QString &id, bool stalled)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end() || found->stalled == stalled)
        return;
    found->stalled = stalled;
    emit deviceChanged(id);
}

void StatusRegistry::heartbeat(const QString &id, qint64 atMs)
{
    auto found = m_devices.find(id);
    if (found != m_devices.end())
        found->heartbeatMs = atMs > 0 ? atMs : now();
}

QString StatusRegistry::summary() const
{
    QMap<int, int> counts;
    for (const Device &device : m_devices)
        ++counts[int(device.state)];
    QStringList parts;
    for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.value()).arg(stateName(DeviceState(it.key())));
    const QString head = m_devices.size() == 1 ? QStringLiteral("1 device") : QStringLiteral("%1 devices").arg(m_devices.size());
    return parts.isEmpty() ? head : head + QStringLiteral(": ") + parts.join(QLatin1String(", "));
}

void StatusRegistry::update(Device &device)
{
    DeviceState state;
    if (device.stopping)
        state = DeviceState::Stopping;
    else if (!device.portOpen)
        state = device.portTrouble ? DeviceState::Absent
                : device.lostInSession ? DeviceState::Paused
                                       : DeviceState::Opening;
    else if (device.link == OfdWorker::Ready)
        state = DeviceState::Ready;
    else if (device.link == OfdWorker::Exchanging)
        state = DeviceState::Exchanging;
    else
        state = DeviceState::Handshake;
    if (state == device.state && device.sinceMs > 0)
        return;
    device.state = state;
    device.sinceMs = now();
    emit deviceChanged(device.id);
}

void StatusRegistry::portOpened(const QString &id)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    if (found->everOpened)
        ++found->closed.portReopens;
    found->everOpened = true;
    found->portOpen = true;
    found->portTrouble = false;
    found->lostInSession = false;
    update(*found);
}

void StatusRegistry::portLost(const QString &id)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    found->lostInSession = found->portOpen && found->link == OfdWorker::Exchanging;
    found->portOpen = false;
    update(*found);
}

void StatusRegistry::portTrouble(const QString &id, const QString &text, int attempts, qint64 sinceMs)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    found->portTrouble = attempts > 0;
    found->failingAttempts = attempts;
    found->failingSinceMs = sinceMs;
    if (attempts > 0) {
        found->lastError = text;
        found->lastErrorMs = now();
    }
    update(*found);
}

void StatusRegistry::ofdTrouble(const QString &id, const QString &text, int attempts, qint64 sinceMs)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    // A port that fails says more about the device than a server that does.
    if (!found->portTrouble) {
        found->failingAttempts = attempts;
        found->failingSinceMs = sinceMs;
    }
    if (attempts > 0) {
        found->lastError = text;
        found->lastErrorMs = now();
    }
}

void StatusRegistry::linkChanged(const QString &id, int link)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    found->link = link;
    update(*found);
}

void StatusRegistry::channelChanged(const QString &id, const SessionRecord &record)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end() || record.ch < 0 || record.ch > 1)
        return;
    SessionRecord &slot = found->channels[record.ch];
    // A late view of a session that already ended must not bring it back.
    if (record.number < slot.number || (record.number == slot.number && slot.ended() && !record.ended()))
        return;
    slot = record;
}

void StatusRegistry::sessionClosed(const QString &id, const SessionRecord &record)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end())
        return;
    Device &device = *found;
    const QString result = record.result();
    Counters &c = device.closed;
    if (result == QLatin1String("ok")) {
        ++c.sessionsOk;
        device.lastSuccessMs = record.endedMs;
    } else if (result == QLatin1String("connect_failed")) {
        ++c.sessionsFailed;
    } else {
        ++c.sessionsIncomplete;
    }
    c.bytesToOfd += record.written;
    c.bytesFromOfd += record.read;
    c.bytesUndelivered += record.stuck() + record.discarded();
    c.undeliveredToOfd += record.stuck();
    c.undeliveredToDevice += record.discarded();
    device.lastSession = record;
    const double seconds = double(record.endedMs - record.openedMs) / 1000.0;
    const QList<double> &buckets = durationBuckets();
    int bucket = 0;
    while (bucket < buckets.size() && seconds > buckets.at(bucket))
        ++bucket;
    ++device.durationCounts[bucket];
    device.durationSum += seconds;
    if (record.ch >= 0 && record.ch <= 1 && device.channels[record.ch].number <= record.number)
        device.channels[record.ch] = record;
}

void StatusRegistry::framesDropped(const QString &id, const QString &reason, int count)
{
    auto found = m_devices.find(id);
    if (found == m_devices.end() || count <= 0)
        return;
    found->closed.framesDropped += count;
    found->droppedBy[reason] += count;
}

void StatusRegistry::frameSeen(const QString &id, qint64 atMs)
{
    auto found = m_devices.find(id);
    if (found != m_devices.end())
        found->lastFrameMs = qMax(found->lastFrameMs, atMs);
}

QJsonObject StatusRegistry::deviceJson(const Device &device) const
{
    const Counters c = device.counters();
    QJsonObject counters;
    counters.insert(QStringLiteral("sessions_ok"), c.sessionsOk);
    counters.insert(QStringLiteral("sessions_incomplete"), c.sessionsIncomplete);
    counters.insert(QStringLiteral("sessions_failed"), c.sessionsFailed);
    counters.insert(QStringLiteral("bytes_to_ofd"), c.bytesToOfd);
    counters.insert(QStringLiteral("bytes_from_ofd"), c.bytesFromOfd);
    counters.insert(QStringLiteral("bytes_undelivered"), c.bytesUndelivered);
    counters.insert(QStringLiteral("frames_dropped"), c.framesDropped);
    counters.insert(QStringLiteral("port_reopens"), c.portReopens);

    QJsonObject undelivered;
    undelivered.insert(QStringLiteral("to_ofd"), c.undeliveredToOfd);
    undelivered.insert(QStringLiteral("to_device"), c.undeliveredToDevice);

    QJsonObject last;
    const SessionRecord &s = device.lastSession;
    const bool any = s.number > 0;
    last.insert(QStringLiteral("at"), timeValue(any ? s.endedMs : 0));
    last.insert(QStringLiteral("result"), any ? QJsonValue(s.result()) : QJsonValue(QJsonValue::Null));
    last.insert(QStringLiteral("seconds"), any ? QJsonValue(double(s.endedMs - s.openedMs) / 1000.0) : QJsonValue(QJsonValue::Null));
    last.insert(QStringLiteral("server"), any ? QJsonValue(s.server()) : QJsonValue(QJsonValue::Null));

    QJsonArray channels;
    for (const SessionRecord &r : device.channels)
        channels.append(channelJson(r));

    QJsonObject error;
    error.insert(QStringLiteral("at"), timeValue(device.lastErrorMs));
    error.insert(QStringLiteral("text"), textValue(device.lastError));
    error.insert(QStringLiteral("attempts"), device.failingAttempts);
    error.insert(QStringLiteral("since"), timeValue(device.failingAttempts > 0 ? device.failingSinceMs : 0));

    QJsonObject dropped;
    for (auto it = device.droppedBy.constBegin(); it != device.droppedBy.constEnd(); ++it)
        dropped.insert(it.key(), it.value());
    QJsonArray buckets;
    for (qint64 n : device.durationCounts)
        buckets.append(n);
    QJsonObject durations;
    durations.insert(QStringLiteral("le"), QJsonArray::fromVariantList([] {
        QVariantList bounds;
        for (double b : durationBuckets())
            bounds.append(b);
        return bounds;
    }()));
    durations.insert(QStringLiteral("counts"), buckets);
    durations.insert(QStringLiteral("sum"), device.durationSum);

    QJsonObject o;
    o.insert(QStringLiteral("id"), device.id);
    o.insert(QStringLiteral("kind"), device.kind);
    o.insert(QStringLiteral("port"), textValue(device.port));
    o.insert(QStringLiteral("state"), stateName(device.state));
    o.insert(QStringLiteral("since"), timeValue(device.sinceMs));
    o.insert(QStringLiteral("stalled"), device.stalled);
    o.insert(QStringLiteral("last_frame"), timeValue(device.lastFrameMs));
    o.insert(QStringLiteral("counters"), counters);
    o.insert(QStringLiteral("last_exchange"), last);
    o.insert(QStringLiteral("last_success"), timeValue(device.lastSuccessMs));
    o.insert(QStringLiteral("channels"), channels);
    o.insert(QStringLiteral("last_error"), error);
    o.insert(QStringLiteral("frames_dropped_by"), dropped);
    o.insert(QStringLiteral("undelivered"), undelivered);
    o.insert(QStringLiteral("session_seconds"), durations);
    return o;
}

QJsonObject StatusRegistry::toJson() const
{
    QJsonObject reload;
    reload.insert(QStringLiteral("at"), timeValue(m_service.reloadMs));
    reload.insert(QStringLiteral("ok"), m_service.reloadMs > 0 ? QJsonValue(m_service.reloadOk) : QJsonValue(QJsonValue::Null));
    reload.insert(QStringLiteral("text"), m_service.reloadMs > 0 ? textValue(m_service.reloadText) : QJsonValue(QJsonValue::Null));

    QJsonObject service;
    service.insert(QStringLiteral("version"), m_service.version);
    service.insert(QStringLiteral("commit"), textValue(m_service.commit));
    service.insert(QStringLiteral("pid"), m_service.pid);
    service.insert(QStringLiteral("started"), timeValue(m_service.startedMs));
    service.insert(QStringLiteral("settings"), textValue(m_service.settings));
    service.insert(QStringLiteral("hotplug"), m_service.hotplug);
    service.insert(QStringLiteral("reload"), reload);
    service.insert(QStringLiteral("log_lines_lost"), qint64(kiv::LostLines::totalLost()));

    QJsonArray devices;
    for (const QString &id : m_order)
        devices.append(deviceJson(m_devices.value(id)));

    QJsonObject root;
    root.insert(QStringLiteral("schema"), 1);
    root.insert(QStringLiteral("service"), service);
    root.insert(QStringLiteral("devices"), devices);
    return root;
}

QByteArray StatusRegistry::answer(int maxBytes) const
{
    QJsonObject root = toJson();
    QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Compact);
    if (text.size() <= maxBytes)
        return text;
    // Too many devices for one answer: as many as fit, in order.
    QJsonArray all = root.value(QStringLiteral("devices")).toArray();
    QJsonArray kept;
    qsizetype size = QJsonDocument(QJsonObject{{QStringLiteral("service"), root.value(QStringLiteral("service"))}})
                         .toJson(QJsonDocument::Compact)
                         .size()
                     + 64;
    for (const QJsonValue &device : std::as_const(all)) {
        size += QJsonDocument(device.toObject()).toJson(QJsonDocument::Compact).size() + 1;
        if (size > maxBytes)
            break;
        kept.append(device);
    }
    root.insert(QStringLiteral("devices"), kept);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}
