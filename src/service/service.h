#pragma once

#include "core/hotpluglistener.h"
#include "daemon/servicebase.h"
#include "core/settings.h"
#include "core/workerguard.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <memory>

class Application;
class HotplugAgent;
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

    // Registration of one device: a pair of workers, started at once.
    void registerUsbWorker(const UsbDeviceSettings &entry);
    void registerComWorker(const ComDeviceSettings &entry);
    // Gives portWorker and a new OFD worker for id a thread each, wires
    // the pair and starts both threads (the OFD worker's first).
    void startWorkerPair(IPortWorker *portWorker, const QString &id);

    void onDeviceArrived(const QMap<QString, QString> &properties) override;
    void onDeviceLeft(const QMap<QString, QString> &properties) override;

    // Public for tests and tools; the service-control layer calls them.
    void start() override;
    void stop() override;

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
    struct PortWorkerRef
    {
        QPointer<IPortWorker> worker;
        std::shared_ptr<WorkerGuard::State> guard;
    };

    void logSettings(const SettingsReport &report);
    QThread *startThread(IWorker *worker);

    Application *m_application = nullptr;
    QList<PortWorkerRef> m_portWorkers;
    QList<QPointer<IWorker>> m_ofdWorkers;
    std::unique_ptr<HotplugAgent> m_hotplugAgent;
    bool m_consoleLog = false;
    Settings m_settings;
    // Every worker thread started; they belong to the main thread, which
    // deletes them after they finish.
    QList<QPointer<QThread>> m_threads;
    bool m_stopped = false;
    bool m_running = false;
};
