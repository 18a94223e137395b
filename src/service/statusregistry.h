#pragma once

#include "ofd/sessionrecord.h"

#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>

#include <functional>

// What the service knows about every configured or hot-plugged device, kept
// on the main thread and fed by the workers' queued signals (through a
// DeviceFeed per pair): states at once, byte counts coalesced by the OFD
// worker, one record per ended session. Reading it never waits on a worker,
// so a stuck device still shows, with the state it had last.
class StatusRegistry : public QObject
{
    Q_OBJECT
public:
    enum class DeviceState { Absent, Opening, Handshake, Ready, Exchanging, Paused, Stopping };

    struct Counters
    {
        qint64 sessionsOk = 0;
        qint64 sessionsIncomplete = 0;
        qint64 sessionsFailed = 0;
        qint64 bytesToOfd = 0;
        qint64 bytesFromOfd = 0;
        qint64 bytesUndelivered = 0;
        qint64 undeliveredToOfd = 0;    // of them, the device's
        qint64 undeliveredToDevice = 0; // and the servers'
        qint64 framesDropped = 0;
        qint64 portReopens = 0;
    };

    // Upper bounds (seconds) of the session duration buckets.
    static const QList<double> &durationBuckets();

    struct Device
    {
        QString id;
        QString kind; // "usb", "p2", "p3"
        QString port;
        DeviceState state = DeviceState::Opening;
        qint64 sinceMs = 0;
        bool stalled = false;
        qint64 heartbeatMs = 0;
        qint64 lastFrameMs = 0;
        // Ended sessions only; counters() adds the running ones.
        Counters closed;
        QMap<QString, qint64> droppedBy;
        SessionRecord channels[2];
        SessionRecord lastSession; // number 0: none ended yet
        qint64 lastSuccessMs = 0;
        QString lastError;
        qint64 lastErrorMs = 0;
        // The failure that repeats now, 0 attempts when none.
        int failingAttempts = 0;
        qint64 failingSinceMs = 0;
        // Session durations: one count per bucket, then +Inf; their sum.
        QList<qint64> durationCounts;
        double durationSum = 0;

        // What the state is made from.
        bool portOpen = false;
        bool everOpened = false;
        bool portTrouble = false;
        bool lostInSession = false;
        bool stopping = false;
        int link = 0; // OfdWorker::LinkState

        Counters counters() const;
    };

    struct ServiceInfo
    {
        QString version;
        QString commit;
        qint64 pid = 0;
        qint64 startedMs = 0;
        QString settings;
        bool hotplug = false;
        qint64 reloadMs = 0; // 0: never reloaded
        bool reloadOk = true;
        QString reloadText;
    };

    explicit StatusRegistry(QObject *parent = nullptr);

    static QString stateName(DeviceState state);
    static QStringList stateNames();
    // Shown as working: ready or exchanging.
    static bool isHealthy(DeviceState state);

    // Records follow the pairs: added at registration (a device added
    // again keeps its counters), removed when the device leaves for good.
    void addDevice(const QString &id, const QString &kind, const QString &port);
    void removeDevice(const QString &id);
    void setStopping(const QString &id);
    bool contains(const QString &id) const { return m_devices.contains(id); }
    QStringList ids() const { return m_order; }
    // Null when unknown.
    const Device *device(const QString &id) const;

    // For the watchdog: marks a device that no longer moves, and stamps
    // its last sign of life.
    void setStalled(const QString &id, bool stalled);
    void heartbeat(const QString &id, qint64 atMs = 0);

    // "3 devices: 2 ready, 1 absent" (states in their order, none left out
    // that a device is in).
    QString summary() const;

    ServiceInfo &service() { return m_service; }
    const ServiceInfo &service() const { return m_service; }

    // The answer to a status request: one JSON document, schema 1.
    QJsonObject toJson() const;
    // Compact JSON, at most maxBytes long (devices beyond it are left out).
    QByteArray answer(int maxBytes = kMaxAnswer) const;
    static constexpr int kMaxAnswer = 4 * 1024 * 1024;

    // Fed by DeviceFeed on the main thread.
    void portOpened(const QString &id);
    void portLost(const QString &id);
    void portTrouble(const QString &id, const QString &text, int attempts, qint64 sinceMs);
    void linkChanged(const QString &id, int link);
    void channelChanged(const QString &id, const SessionRecord &record);
    void sessionClosed(const QString &id, const SessionRecord &record);
    void framesDropped(const QString &id, const QString &reason, int count);
    void ofdTrouble(const QString &id, const QString &text, int attempts, qint64 sinceMs);
    void frameSeen(const QString &id, qint64 atMs);

    // Milliseconds since the epoch; tests replace it.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

signals:
    // A device's state changed (not its byte counts).
    void deviceChanged(const QString &id);

private:
    qint64 now() const;
    void update(Device &device);
    QJsonObject deviceJson(const Device &device) const;

    QHash<QString, Device> m_devices;
    QStringList m_order;
    ServiceInfo m_service;
    std::function<qint64()> m_clock;
};
