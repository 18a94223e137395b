#include "service/service.h"

#include "core/iportworker.h"
#include "ofd/ofdworker.h"
#include "proxy/comproxymorv2.h"
#include "proxy/comproxymorv3.h"
#include "service/application.h"
#include "service/logsetup.h"
#include "usb/hotplugagent.h"
#include "usb/usblib.h"
#include "usb/usbworker.h"

#include <QCoreApplication>

#include <log4cxx/logger.h>

const char *const Service::kName = "Kiv";
const char *const Service::kVersion = "8520";

namespace {

log4cxx::LoggerPtr logger()
{
    return log4cxx::Logger::getLogger(Service::kName);
}

void logInfo(const QString &text)
{
    LOG4CXX_INFO(logger(), text.toStdString());
}

void logWarn(const QString &text)
{
    LOG4CXX_WARN(logger(), text.toStdString());
}

QString deviceIds(const Settings &settings)
{
    QStringList usb;
    for (const UsbDeviceSettings &device : settings.usbDevices)
        usb.append(device.id);
    QStringList com;
    for (const ComDeviceSettings &device : settings.comDevices)
        com.append(device.id);
    if (usb.isEmpty() && com.isEmpty())
        return QStringLiteral("none");
    return QStringLiteral("USB [%1], serial [%2]")
        .arg(usb.join(QLatin1String(", ")), com.join(QLatin1String(", ")));
}

// Connects by signature; a worker that lacks one is a programming error,
// which Qt reports on its own ("No such signal").
void wire(QObject *sender, const char *signal, QObject *receiver, const char *method)
{
    QObject::connect(sender, signal, receiver, method);
}

} // namespace

Service::Service(int argc, char **argv)
    : ServiceBase(argc, argv, fullName()), QObject(nullptr)
{
    setStartupType(AutoStartup);
    setObjectName(QString::fromLatin1(kName));
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-e") == 0 || qstrcmp(argv[i], "-exec") == 0)
            m_consoleLog = true;
    }
}

Service::~Service()
{
    stop();
    m_hotplugAgent.reset();
    delete m_application;
}

QString Service::fullName()
{
    return QStringLiteral("%1 (v%2)").arg(QLatin1String(kName), QLatin1String(kVersion));
}

QList<QPointer<IPortWorker>> Service::portWorkers() const
{
    QList<QPointer<IPortWorker>> workers;
    for (const PortWorkerRef &ref : m_portWorkers)
        workers.append(ref.worker);
    return workers;
}

QList<QPointer<IWorker>> Service::ofdWorkers() const
{
    return m_ofdWorkers;
}

void Service::createApplication(int &argc, char **argv)
{
    m_application = new Application(argc, argv);
}

int Service::executeApplication()
{
    return QCoreApplication::exec();
}

void Service::start()
{
    m_stopped = false;
    m_running = true;
    SettingsReport report;
    m_settings = readSettings(&report);
    setupLogging(m_settings, m_consoleLog);
    logInfo(QStringLiteral("Start service %1 (v%2)").arg(QLatin1String(kName), QLatin1String(kVersion)));
    logSettings(report);

    if (m_settings.hotplug) {
        logInfo(QStringLiteral("Hotplug mode"));
        m_hotplugAgent.reset();
        m_hotplugAgent.reset(createHotplugAgent());
    } else {
        if (m_settings.usbDevices.isEmpty() && m_settings.comDevices.isEmpty()) {
            logInfo(QStringLiteral("No devices in config"));
            QCoreApplication::quit();
        }
        for (const UsbDeviceSettings &entry : std::as_const(m_settings.usbDevices))
            registerUsbWorker(entry);
    }
    for (const ComDeviceSettings &entry : std::as_const(m_settings.comDevices))
        registerComWorker(entry);
}

void Service::logSettings(const SettingsReport &report)
{
    if (!report.found) {
        logInfo(QStringLiteral("No configuration file found (looked for %1)").arg(report.path));
        return;
    }
    if (!report.readable) {
        logWarn(QStringLiteral("Cannot read configuration file %1: %2").arg(report.path, report.error));
        return;
    }
    logInfo(QStringLiteral("Configuration file %1").arg(report.path));
    if (!report.error.isEmpty()) {
        logWarn(QStringLiteral("Configuration file %1 is malformed at line %2, column %3: %4; "
                               "devices read before the error: %5")
                    .arg(report.path)
                    .arg(report.line)
                    .arg(report.column)
                    .arg(report.error, deviceIds(m_settings)));
    }
}

void Service::stop()
{
    if (m_running) {
        m_running = false;
        logInfo(QStringLiteral("Stop service %1 (v%2)").arg(QLatin1String(kName), QLatin1String(kVersion)));
    }
    // No arrival may register a pair once stopping began.
    m_stopped = true;
    m_hotplugAgent.reset();
    for (const PortWorkerRef &ref : std::as_const(m_portWorkers))
        WorkerGuard::stopIfRunning(ref.guard);
}

bool Service::hasRunningWork() const
{
    for (const QPointer<QThread> &thread : m_threads) {
        if (thread)
            return true;
    }
    return false;
}

void Service::abandonRunningWork()
{
    int left = 0;
    for (const QPointer<QThread> &thread : std::as_const(m_threads)) {
        if (thread) {
            ++left;
            thread->quit();
        }
    }
    logWarn(QStringLiteral("%1 worker thread(s) did not end after stop; asking them to quit").arg(left));
}

void Service::registerUsbWorker(const UsbDeviceSettings &entry)
{
    logInfo(QStringLiteral("Register Kiv worker [%1]").arg(entry.id));
    startWorkerPair(createUsbWorker(entry), entry.id);
}

void Service::registerComWorker(const ComDeviceSettings &entry)
{
    logInfo(QStringLiteral("Register Dalv worker [%1]").arg(entry.id));
    startWorkerPair(createComWorker(entry), entry.id);
}

IPortWorker *Service::createUsbWorker(const UsbDeviceSettings &entry)
{
    return new UsbWorker(entry);
}

IPortWorker *Service::createComWorker(const ComDeviceSettings &entry)
{
    if (entry.protocol == 2)
        return new ComProxyMorv2(entry);
    return new ComProxyMorv3(entry);
}

IWorker *Service::createOfdWorker(const QString &id)
{
    return new OfdWorker(id);
}

HotplugAgent *Service::createHotplugAgent()
{
    UsbLib *usb = UsbLib::instance();
    if (!usb->isLoaded()) {
        logWarn(QStringLiteral("Hot-plug detection is off: libusb could not be loaded (%1)")
                    .arg(usb->loadFailure()));
        return nullptr;
    }
    return new HotplugAgent(this);
}

QThread *Service::startThread(IWorker *worker)
{
    auto *thread = new QThread;
    thread->setObjectName(worker->objectName());
    worker->moveToThread(thread);
    wire(thread, SIGNAL(started()), worker, SLOT(start()));
    wire(thread, SIGNAL(finished()), worker, SLOT(stop()));
    wire(worker, SIGNAL(finished()), thread, SLOT(quit()));
    wire(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
    wire(thread, SIGNAL(finished()), thread, SLOT(deleteLater()));
    m_threads.append(thread);
    return thread;
}

void Service::startWorkerPair(IPortWorker *portWorker, const QString &id)
{
    // Attached before the move so that the guard moves along.
    auto guard = WorkerGuard::attach(portWorker);
    QThread *portThread = startThread(portWorker);

    IWorker *ofdWorker = createOfdWorker(id);
    QThread *ofdThread = startThread(ofdWorker);

    wire(ofdWorker, SIGNAL(sendData(QByteArray)), portWorker, SLOT(onOfdDataReceived(QByteArray)));
    wire(portWorker, SIGNAL(portDataReceived(QByteArray)), ofdWorker, SLOT(onDataReceived(QByteArray)));
    wire(portWorker, SIGNAL(finished()), ofdWorker, SLOT(stop()));
    wire(ofdWorker, SIGNAL(finished()), portWorker, SLOT(stop()));
    wire(portWorker, SIGNAL(portConnectionLost()), ofdWorker, SLOT(pause()));
    wire(portWorker, SIGNAL(portConnectionEstablished()), ofdWorker, SLOT(unpause()));

    m_ofdWorkers.append(ofdWorker);
    ofdThread->start(QThread::InheritPriority);
    m_portWorkers.append({portWorker, guard});
    portThread->start(QThread::InheritPriority);
}

void Service::onDeviceArrived(const QMap<QString, QString> &properties)
{
    UsbDeviceSettings entry;
    entry.id = properties.value(QStringLiteral("Dev"));
    entry.port = entry.id;
    entry.hotplugged = true;
    if (QThread::currentThread() == thread()) {
        if (!m_stopped)
            registerUsbWorker(entry);
        return;
    }
    // Pairs are only ever made in the main thread.
    QMetaObject::invokeMethod(
        this,
        [this, entry] {
            if (!m_stopped)
                registerUsbWorker(entry);
        },
        Qt::QueuedConnection);
}

void Service::onDeviceLeft(const QMap<QString, QString> &properties)
{
    // A worker whose device has gone ends through its own read errors.
    Q_UNUSED(properties);
}
