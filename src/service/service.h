#pragma once

#include "core/hotpluglistener.h"
#include "daemon/servicebase.h"
#include "core/settings.h"
#include "core/workerguard.h"

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <memory>

class Application;
class DeviceFeed;
class HotplugAgent;
class StatusRegistry;
class IPortWorker;
class IWorker;

// The Kiv service: reads the configuration, sets up logging and turns every
// configured or hot-plugged device into a pair of workers (a port worker
// and its OFD worker), each in a thread of its own.
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
    bool hasHotplugAgent() const { return m_hotplugAgent != nullptr; }
    // Every device's state and counters, on the main thread.
    StatusRegistry *registry() const { return m_registry; }

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
    // Reads settings.xml again and applies what changed (SIGHUP).
    void reload() override;

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

    // Worker factories: tests put their own workers in.
    virtual IPortWorker *createUsbWorker(const UsbDeviceSettings &entry);
    virtual IPortWorker *createComWorker(const ComDeviceSettings &entry);
    virtual IWorker *createOfdWorker(const QString &id);
    virtual HotplugAgent *createHotplugAgent();

private:
    // A device's two workers and their threads, in registration order.
    struct Pair
    {
        QString key;      // what the device's entry says, for reloads
        QString id;
        bool hotplugged = false;
        bool stopping = false;
        QPointer<IPortWorker> port;
        std::shared_ptr<WorkerGuard::State> portGuard;
        QPointer<IWorker> ofd;
        std::shared_ptr<WorkerGuard::State> ofdGuard;
        QPointer<QThread> portThread;
        QPointer<QThread> ofdThread;
        QPointer<DeviceFeed> feed;

        bool alive() const;
    };
    // A configured device still to be registered.
    struct Registration
    {
        QString key;
        bool usb = false;
        UsbDeviceSettings usbEntry;
        ComDeviceSettings comEntry;
    };

    void logSettings(const SettingsReport &report);
    QThread *startThread(IWorker *worker);
    void stopPair(Pair &pair);
    void onWorkEnded();
    // Registers the next pending device and queues the step after it.
    void registerNext();
    void scheduleRegistration();
    QList<Registration> configuredDevices(const Settings &settings) const;
    void applySettings(const Settings &fresh, const QString &path);
    void startHotplugAgent();
    // Drops the records of devices that are neither configured nor served.
    void pruneRegistry();

    Application *m_application = nullptr;
    QList<Pair> m_pairs;
    QList<Registration> m_pending;
    bool m_registrationQueued = false;
    // After a reload new pairs wait for the replaced ones to end, so that
    // their ports are free, but no longer than this.
    QDeadlineTimer m_replaceDeadline;
    std::unique_ptr<HotplugAgent> m_hotplugAgent;
    bool m_consoleLog = false;
    Settings m_settings;
    bool m_stopped = false;
    bool m_running = false;
    StatusRegistry *m_registry = nullptr;
};
