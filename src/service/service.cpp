#include "service/service.h"

#include "core/iportworker.h"
#include "ofd/ofdworker.h"
#include "proxy/comproxymorv2.h"
#include "proxy/comproxymorv3.h"
#include "service/application.h"
#include "service/devicefeed.h"
#include "service/logsetup.h"
#include "service/statusclient.h"
#include "service/statusregistry.h"
#include "usb/hotplugagent.h"
#include "usb/usblib.h"
#include "usb/usbworker.h"

#include "kivcommit.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cstdio>

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

QString usbKey(const UsbDeviceSettings &entry)
{
    return QStringLiteral("usb|%1|%2|%3").arg(entry.id, entry.port).arg(entry.hotplugged);
}

// Every field of a serial entry; a reload compares entries by it.
QString comLine(const ComDeviceSettings &entry)
{
    return QStringLiteral("protocol %1, app %2 at %3, dev %4 at %5")
        .arg(entry.protocol)
        .arg(entry.app.port)
        .arg(entry.app.baudrate)
        .arg(entry.dev.port)
        .arg(entry.dev.baudrate);
}

QString comKey(const ComDeviceSettings &entry)
{
    return QStringLiteral("dalv|%1|%2").arg(entry.id, comLine(entry));
}

QString idList(QStringList ids)
{
    ids.removeDuplicates();
    return QLatin1Char('[') + ids.join(QLatin1String(", ")) + QLatin1Char(']');
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
    m_registry = new StatusRegistry(this);
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
    for (const Pair &pair : m_pairs)
        workers.append(pair.port);
    return workers;
}

QList<QPointer<IWorker>> Service::ofdWorkers() const
{
    QList<QPointer<IWorker>> workers;
    for (const Pair &pair : m_pairs)
        workers.append(pair.ofd);
    return workers;
}

void Service::createApplication(int &argc, char **argv)
{
    m_application = new Application(argc, argv);
}

int Service::executeApplication()
{
    return QCoreApplication::exec();
}

bool Service::Pair::alive() const
{
    return (portThread && !portThread->isFinished()) || (ofdThread && !ofdThread->isFinished());
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
    StatusRegistry::ServiceInfo &info = m_registry->service();
    info.version = QString::fromLatin1(kVersion);
    info.commit = QStringLiteral(KIV_GIT_COMMIT);
    info.pid = QCoreApplication::applicationPid();
    info.startedMs = QDateTime::currentMSecsSinceEpoch();
    info.settings = report.found ? report.path : QString();
    info.hotplug = m_settings.hotplug;

    if (m_settings.hotplug) {
        logInfo(QStringLiteral("Hotplug mode"));
        startHotplugAgent();
    } else if (m_settings.usbDevices.isEmpty() && m_settings.comDevices.isEmpty()) {
        logInfo(QStringLiteral("No devices in config"));
        QCoreApplication::quit();
    }
    registerDevices(m_settings);
}

void Service::registerDevices(const Settings &settings)
{
    // One device per step of the event loop: signals and the control
    // channel are served between them, however many devices there are.
    m_pending.append(configuredDevices(settings));
    scheduleRegistration();
}

void Service::startHotplugAgent()
{
    m_hotplugAgent.reset();
    m_hotplugAgent.reset(createHotplugAgent());
}

QList<Service::Registration> Service::configuredDevices(const Settings &settings) const
{
    QList<Registration> devices;
    if (!settings.hotplug) {
        for (const UsbDeviceSettings &entry : settings.usbDevices) {
            Registration r;
            r.key = usbKey(entry);
            r.usb = true;
            r.usbEntry = entry;
            devices.append(r);
        }
    }
    for (const ComDeviceSettings &entry : settings.comDevices) {
        Registration r;
        r.key = comKey(entry);
        r.comEntry = entry;
        devices.append(r);
    }
    return devices;
}

void Service::scheduleRegistration()
{
    if (m_registrationQueued || m_pending.isEmpty())
        return;
    m_registrationQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_registrationQueued = false;
            registerNext();
        },
        Qt::QueuedConnection);
}

void Service::registerNext()
{
    if (m_stopped) {
        m_pending.clear();
        return;
    }
    if (m_pending.isEmpty())
        return;
    if (!m_replaceDeadline.hasExpired()) {
        for (const Pair &pair : std::as_const(m_pairs)) {
            // Resumed by onWorkEnded() or by the deadline's timer.
            if (pair.stopping && pair.alive())
                return;
        }
    }
    const Registration next = m_pending.takeFirst();
    if (next.usb)
        registerUsbWorker(next.usbEntry);
    else
        registerComWorker(next.comEntry);
    scheduleRegistration();
}

void Service::reload()
{
    if (m_stopped || !m_running)
        return;
    SettingsReport report;
    const Settings fresh = readSettingsFrom(configFilePath(), &report);
    if (!report.found || !report.readable || !report.error.isEmpty()) {
        QString why = !report.found ? QStringLiteral("it does not exist")
                      : !report.readable ? report.error
                                         : QStringLiteral("malformed at line %1, column %2: %3")
                                               .arg(report.line)
                                               .arg(report.column)
                                               .arg(report.error);
        logWarn(QStringLiteral("Reload: configuration file %1 not used, %2; the running devices are kept")
                    .arg(report.path, why));
        StatusRegistry::ServiceInfo &info = m_registry->service();
        info.reloadMs = QDateTime::currentMSecsSinceEpoch();
        info.reloadOk = false;
        info.reloadText = QStringLiteral("%1 not used: %2").arg(report.path, why);
        return;
    }
    applySettings(fresh, report.path);
}

void Service::applySettings(const Settings &fresh, const QString &path)
{
    if (fresh.logsDir != m_settings.logsDir || fresh.journalLevel != m_settings.journalLevel)
        setupLogging(fresh, m_consoleLog);
    const bool hotplugChanged = fresh.hotplug != m_settings.hotplug;
    m_settings = fresh;

    // Pairs that ended on their own count as gone: a reload brings them back.
    QList<int> running;
    for (int i = 0; i < m_pairs.size(); ++i) {
        const Pair &pair = m_pairs.at(i);
        if (!pair.stopping && pair.alive() && (!pair.hotplugged || !fresh.hotplug))
            running.append(i);
    }
    // Devices still waiting for registration from before are not news.
    QStringList waiting;
    for (const Registration &r : std::as_const(m_pending))
        waiting.append(r.key);
    m_pending.clear();
    QStringList added, removed, started;
    int unchanged = 0;
    for (const Registration &wanted : configuredDevices(fresh)) {
        const auto match = std::find_if(running.begin(), running.end(),
                                        [&](int i) { return m_pairs.at(i).key == wanted.key; });
        if (match != running.end()) {
            running.erase(match);
            ++unchanged;
            continue;
        }
        m_pending.append(wanted);
        if (waiting.removeOne(wanted.key))
            ++unchanged;
        else
            started.append(wanted.usb ? wanted.usbEntry.id : wanted.comEntry.id);
    }
    for (int i : std::as_const(running)) {
        removed.append(m_pairs.at(i).id);
        // Sessions cut by it say why.
        if (m_pairs.at(i).ofdGuard)
            WorkerGuard::requestCall(m_pairs.at(i).ofdGuard, "setStopCause", QStringLiteral("reload"));
        stopPair(m_pairs[i]);
    }
    // The same id stopped and started again is a changed device.
    QStringList changed;
    for (const QString &id : std::as_const(started)) {
        if (removed.contains(id))
            changed.append(id);
        else
            added.append(id);
    }
    for (const QString &id : std::as_const(changed))
        removed.removeAll(id);

    if (hotplugChanged) {
        if (fresh.hotplug)
            startHotplugAgent();
        else
            m_hotplugAgent.reset();
    }
    // Finished pairs are forgotten; running and stopping ones kept.
    m_pairs.erase(std::remove_if(m_pairs.begin(), m_pairs.end(), [](const Pair &p) { return !p.alive(); }),
                  m_pairs.end());

    QString line = QStringLiteral("Reload configuration file %1: added %2, removed %3, changed %4, unchanged %5")
                       .arg(path, idList(added), idList(removed), idList(changed))
                       .arg(unchanged);
    if (hotplugChanged)
        line += fresh.hotplug ? QStringLiteral("; hot-plug on") : QStringLiteral("; hot-plug off");
    logInfo(line);
    StatusRegistry::ServiceInfo &info = m_registry->service();
    info.reloadMs = QDateTime::currentMSecsSinceEpoch();
    info.reloadOk = true;
    info.reloadText = line;
    info.settings = path;
    info.hotplug = fresh.hotplug;
    pruneRegistry();

    m_replaceDeadline = QDeadlineTimer(stopGrace());
    if (!m_pending.isEmpty() && !running.isEmpty()) {
        QTimer::singleShot(stopGrace(), this, [this] { scheduleRegistration(); });
    }
    scheduleRegistration();
}

QString Service::versionText() const
{
    const QString commit = QStringLiteral(KIV_GIT_COMMIT);
    QString text = QStringLiteral("%1 %2").arg(QLatin1String(kName), QLatin1String(kVersion));
    if (!commit.isEmpty())
        text += QStringLiteral(" (commit %1)").arg(commit);
    return text;
}

void Service::logProblem(const QString &text)
{
    logWarn(text);
}

int Service::checkConfig(const QString &given)
{
    const QString path = given.isEmpty() ? configFilePath() : QFileInfo(given).absoluteFilePath();
    SettingsReport report;
    const Settings settings = readSettingsFrom(path, &report);
    QStringList out;
    out << QStringLiteral("Configuration file: %1").arg(path);
    bool usable = true;
    if (!report.found) {
        out << QStringLiteral("problem: the file does not exist");
        usable = false;
    } else if (!report.readable) {
        out << QStringLiteral("problem: cannot read the file: %1").arg(report.error);
        usable = false;
    }
    if (report.readable) {
        out << QStringLiteral("Hot-plug: %1").arg(settings.hotplug ? QStringLiteral("on (configured USB devices are ignored)")
                                                                   : QStringLiteral("off"));
        out << QStringLiteral("Log directory: %1").arg(settings.logsDir);
        const int count = int(settings.usbDevices.size() + settings.comDevices.size());
        out << QStringLiteral("Devices: %1").arg(count);
        for (const UsbDeviceSettings &d : settings.usbDevices)
            out << QStringLiteral("  USB     [%1] port %2").arg(d.id, d.port);
        for (const ComDeviceSettings &d : settings.comDevices)
            out << QStringLiteral("  serial  [%1] %2").arg(d.id, comLine(d));
        QList<SettingsProblem> found = report.problems;
        if (!report.error.isEmpty())
            found.append({report.line, report.column, report.error + QStringLiteral(" (nothing after it is read)")});
        std::stable_sort(found.begin(), found.end(), [](const SettingsProblem &a, const SettingsProblem &b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
        QStringList problems;
        for (const SettingsProblem &p : std::as_const(found))
            problems << QStringLiteral("line %1, column %2: %3").arg(p.line).arg(p.column).arg(p.message);
        out << QStringLiteral("Problems: %1").arg(problems.size());
        for (const QString &p : std::as_const(problems))
            out << QStringLiteral("  ") + p;
        const bool serves = settings.hotplug || !settings.comDevices.isEmpty() || !settings.usbDevices.isEmpty();
        if (!serves)
            out << QStringLiteral("problem: no device to serve");
        usable = problems.isEmpty() && serves;
    }
    out << (usable ? QStringLiteral("OK") : QStringLiteral("NOT OK"));
    const QByteArray text = out.join(QLatin1Char('\n')).toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
    return usable ? 0 : 1;
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
    m_pending.clear();
    m_hotplugAgent.reset();
    // Every worker is asked at once, in its own thread: the main thread
    // never waits on a worker here.
    for (Pair &pair : m_pairs)
        stopPair(pair);
}

void Service::stopPair(Pair &pair)
{
    pair.stopping = true;
    m_registry->setStopping(pair.id);
    if (pair.portGuard)
        WorkerGuard::requestStop(pair.portGuard);
    if (pair.ofdGuard)
        WorkerGuard::requestStop(pair.ofdGuard);
}

void Service::onWorkEnded()
{
    workEnded();
    scheduleRegistration();
    pruneRegistry();
}

void Service::pruneRegistry()
{
    QSet<QString> wanted;
    for (const Pair &pair : std::as_const(m_pairs)) {
        if (pair.alive())
            wanted.insert(pair.id);
    }
    for (const Registration &r : std::as_const(m_pending))
        wanted.insert(r.usb ? r.usbEntry.id : r.comEntry.id);
    if (!m_stopped) {
        for (const Registration &r : configuredDevices(m_settings))
            wanted.insert(r.usb ? r.usbEntry.id : r.comEntry.id);
    }
    for (const QString &id : m_registry->ids()) {
        if (!wanted.contains(id))
            m_registry->removeDevice(id);
    }
}

QString Service::answerRequest(const QString &request)
{
    if (request == QLatin1String("devices"))
        return QStringLiteral("ok ") + QString::fromUtf8(m_registry->answer());
    return QString();
}

int Service::statusCommand(const QStringList &arguments)
{
    return StatusClient(arguments).run();
}

QString Service::statusUsage() const
{
    return StatusClient::usage();
}

bool Service::hasRunningWork() const
{
    for (const Pair &pair : m_pairs) {
        if (pair.alive())
            return true;
    }
    return false;
}

void Service::abandonRunningWork()
{
    int left = 0;
    for (const Pair &pair : std::as_const(m_pairs)) {
        for (const QPointer<QThread> &thread : {pair.portThread, pair.ofdThread}) {
            if (thread && !thread->isFinished()) {
                ++left;
                thread->quit();
            }
        }
    }
    logWarn(QStringLiteral("%1 worker thread(s) did not end after stop; asking them to quit").arg(left));
}

void Service::registerUsbWorker(const UsbDeviceSettings &entry)
{
    logInfo(QStringLiteral("Register Kiv worker [%1]").arg(entry.id));
    m_registry->addDevice(entry.id, QStringLiteral("usb"), entry.port);
    startWorkerPair(createUsbWorker(entry), entry.id);
    m_pairs.last().key = usbKey(entry);
    m_pairs.last().hotplugged = entry.hotplugged;
}

void Service::registerComWorker(const ComDeviceSettings &entry)
{
    logInfo(QStringLiteral("Register Dalv worker [%1]").arg(entry.id));
    m_registry->addDevice(entry.id, entry.protocol == 2 ? QStringLiteral("p2") : QStringLiteral("p3"), entry.dev.port);
    startWorkerPair(createComWorker(entry), entry.id);
    m_pairs.last().key = comKey(entry);
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
    // Once the thread object is gone the thread has ended for sure; the
    // check runs after the deletion has completed.
    QObject::connect(thread, &QObject::destroyed, this,
                     [this] { QMetaObject::invokeMethod(this, [this] { onWorkEnded(); }, Qt::QueuedConnection); });
    return thread;
}

void Service::startWorkerPair(IPortWorker *portWorker, const QString &id)
{
    Pair pair;
    pair.id = id;
    // Attached before the move so that the guards move along.
    pair.portGuard = WorkerGuard::attach(portWorker);
    pair.port = portWorker;
    QThread *portThread = startThread(portWorker);

    IWorker *ofdWorker = createOfdWorker(id);
    pair.ofdGuard = WorkerGuard::attach(ofdWorker);
    pair.ofd = ofdWorker;
    QThread *ofdThread = startThread(ofdWorker);

    wire(ofdWorker, SIGNAL(sendData(QByteArray)), portWorker, SLOT(onOfdDataReceived(QByteArray)));
    wire(portWorker, SIGNAL(portDataReceived(QByteArray)), ofdWorker, SLOT(onDataReceived(QByteArray)));
    wire(portWorker, SIGNAL(finished()), ofdWorker, SLOT(stop()));
    wire(ofdWorker, SIGNAL(finished()), portWorker, SLOT(stop()));
    wire(portWorker, SIGNAL(portConnectionLost()), ofdWorker, SLOT(pause()));
    wire(portWorker, SIGNAL(portConnectionEstablished()), ofdWorker, SLOT(unpause()));

    // The registry hears the pair through a feed of its own on this thread.
    if (!m_registry->contains(id))
        m_registry->addDevice(id, QString(), QString());
    pair.feed = new DeviceFeed(id, m_registry, m_registry);
    pair.feed->attach(portWorker, ofdWorker);
    connect(ofdThread, &QObject::destroyed, pair.feed, &QObject::deleteLater);

    pair.portThread = portThread;
    pair.ofdThread = ofdThread;
    m_pairs.append(pair);
    ofdThread->start(QThread::InheritPriority);
    portThread->start(QThread::InheritPriority);
}

void Service::onDeviceArrived(const QMap<QString, QString> &properties)
{
    UsbDeviceSettings entry;
    entry.id = properties.value(QStringLiteral("Dev"));
    entry.port = entry.id;
    entry.hotplugged = true;
    // Pairs are only ever made in the main thread: a call from elsewhere is
    // queued there, one from the main thread runs at once.
    QMetaObject::invokeMethod(
        this,
        [this, entry] {
            if (!m_stopped)
                registerUsbWorker(entry);
        },
        Qt::AutoConnection);
}

void Service::onDeviceLeft(const QMap<QString, QString> &properties)
{
    // A worker whose device has gone ends through its own read errors.
    Q_UNUSED(properties);
}
