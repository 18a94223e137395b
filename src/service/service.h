#pragma once

#include "core/hotpluglistener.h"
#include "daemon/servicebase.h"
#include "core/settings.h"
#include "service/arrivalrouter.h"
#include "service/deviceentry.h"
#include "service/hotplugsupervisor.h"
#include "service/managerlink.h"
#include "service/workerpair.h"
#include "service/workerwatch.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>

class Application;
class HotplugAgent;
class StatusRegistry;
class IPortWorker;
class IWorker;

// The Kiv service: reads the configuration, sets up logging and turns every
// configured or hot-plugged device into a pair of workers (a port worker
// and its OFD worker), each in a thread of its own. It owns the pairs and
// the settings in force; the parts below it hold a reference to those.
class Service : public ServiceBase, public QObject, public HotplugListener
{
public:
    static const char *const kName;     // "Kiv": object and logger name
    static const char *const kVersion;  // "8520"

    Service(int argc, char **argv);
    ~Service() override;

    // "Kiv (v8520)".
    static QString fullName();

    bool consoleLog() const { return m_consoleLog; }
    const Settings &settings() const { return m_settings; }
    QList<QPointer<IPortWorker>> portWorkers() const;
    QList<QPointer<IWorker>> ofdWorkers() const;
    bool hasHotplugAgent() const { return m_hotplug.hasAgent(); }
    // Every device's state and counters, on the main thread.
    StatusRegistry *registry() const { return m_registry; }
    // Hot-plug is configured but its detection does not run (yet): the
    // configured USB devices are served meanwhile.
    bool hotplugFallback() const { return m_hotplug.fallback(); }
    // Pairs held, running or stopping; an ended pair is dropped at once.
    int pairCount() const { return int(m_pairs.size()); }
    // Back-off of the hot-plug retries, doubling from first up to max; for tests.
    void setHotplugRetry(int firstMs, int maxMs) { m_hotplug.setRetry(firstMs, maxMs); }

    // Registration of one device: a pair of workers, started at once.
    void registerUsbWorker(const UsbDeviceSettings &entry);
    void registerComWorker(const ComDeviceSettings &entry);
    // Queues the configured devices of settings (USB ones unless hot-plug
    // is on) for registration, one per step of the event loop.
    void registerDevices(const Settings &settings);
    // Devices waiting for their registration step in the event loop.
    int pendingRegistrations() const { return int(m_pending.size()); }
    // Gives portWorker and a new OFD worker for id a thread each, wires
    // the pair and starts both threads (the OFD worker's first).
    void startWorkerPair(IPortWorker *portWorker, const QString &id);

    void onDeviceArrived(const QMap<QString, QString> &properties) override;
    void onDeviceLeft(const QMap<QString, QString> &properties) override;

    // Public for tests and tools; the service-control layer calls them.
    void start() override;
    void stop() override;
    // Reads settings.xml again and applies what changed (SIGHUP); returns
    // the result in a line.
    QString reload() override;

    // The heartbeats of the worker threads.
    WorkerWatch &workerWatch() { return m_watch; }
    // The status line the service manager shows.
    QString statusText() const { return m_link.statusText(); }

    // "--check-config": prints what path holds and what is wrong with it.
    int checkConfig(const QString &path) override;
    QString versionText() const override;
    void logProblem(const QString &text) override;
    QString answerRequest(const QString &request) override;
    int statusCommand(const QStringList &arguments) override;
    QString statusUsage() const override;

protected:
    void createApplication(int &argc, char **argv) override;
    int executeApplication() override;
    bool hasRunningWork() const override;
    void abandonRunningWork() override;
    bool workersAnswer() override;

    // Worker factories: tests put their own workers in.
    virtual IPortWorker *createUsbWorker(const UsbDeviceSettings &entry);
    virtual IPortWorker *createComWorker(const ComDeviceSettings &entry);
    virtual IWorker *createOfdWorker(const QString &id);
    virtual HotplugAgent *createHotplugAgent();

private:
    void stopPair(WorkerPair &pair);
    void onWorkEnded();
    // Registers the next pending device and queues the step after it.
    void registerNext();
    void scheduleRegistration();
    QString applySettings(const Settings &fresh, const QString &path);
    // Detection works again: the fallback pairs make way for hot-plugged ones.
    void onHotplugRecovered();
    // Drops the records of devices that are neither configured nor served.
    void pruneRegistry();
    void removeEndedPairs();
    // READY=1 once the registrations queued at start are done.
    void checkReady();

    // Members that others refer to come before them.
    Application *m_application = nullptr;
    bool m_consoleLog = false;
    Settings m_settings;
    bool m_stopped = false;
    bool m_running = false;
    StatusRegistry *m_registry = nullptr;
    WorkerWatch m_watch;
    ManagerLink m_link;
    QList<WorkerPair> m_pairs;
    QList<DeviceEntry> m_pending;
    bool m_registrationQueued = false;
    // After a reload new pairs wait for the replaced ones to end, so that
    // their ports are free, but no longer than this.
    QDeadlineTimer m_replaceDeadline;
    HotplugSupervisor m_hotplug;
    ArrivalRouter m_arrivals;
};
