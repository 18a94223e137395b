#include "service/service.h"

#include "core/iportworker.h"
#include "core/log.h"
#include "ofd/ofdworker.h"
#include "proxy/comproxymorv2.h"
#include "proxy/comproxymorv3.h"
#include "service/application.h"
#include "service/configreport.h"
#include "service/devicefeed.h"
#include "service/logsetup.h"
#include "service/reloaddiff.h"
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


const char *const Service::kName = "Kiv";
const char *const Service::kVersion = "8520";

namespace {

const Log &kivLog()
{
    static const Log log(QString::fromLatin1(Service::kName));
    return log;
}

void logInfo(const QString &text)
{
    kivLog().info(text);
}

void logWarn(const QString &text)
{
    kivLog().warn(text);
}

} // namespace

Service::Service(int argc, char **argv)
    : ServiceBase(argc, argv, fullName()),
      QObject(nullptr),
      m_registry(new StatusRegistry(this)),
      m_link(*m_registry, m_watch, m_settings, kivLog(), [this](const QString &status) { notifyReady(status); },
             [this](const QString &status) { notifyStatus(status); }),
      m_hotplug(m_settings, m_watch, [this] { return createHotplugAgent(); }, kivLog()),
      m_arrivals(m_pairs, [this](const UsbDeviceSettings &entry) { registerUsbWorker(entry); }, kivLog())
{
    setStartupType(AutoStartup);
    setObjectName(QString::fromLatin1(kName));
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "-e") == 0 || qstrcmp(argv[i], "-exec") == 0)
            m_consoleLog = true;
    }
    QObject::connect(&m_hotplug, &HotplugSupervisor::recovered, this, [this] { onHotplugRecovered(); });
}

Service::~Service()
{
    stop();
    delete m_application;
}

QString Service::fullName()
{
    return QStringLiteral("%1 (v%2)").arg(QLatin1String(kName), QLatin1String(kVersion));
}

QList<QPointer<IPortWorker>> Service::portWorkers() const
{
    QList<QPointer<IPortWorker>> workers;
    for (const WorkerPair &pair : m_pairs)
        workers.append(pair.port);
    return workers;
}

QList<QPointer<IWorker>> Service::ofdWorkers() const
{
    QList<QPointer<IWorker>> workers;
    for (const WorkerPair &pair : m_pairs)
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

void Service::start()
{
    m_stopped = false;
    m_running = true;
    m_arrivals.open();
    SettingsReport report;
    m_settings = readSettings(&report);
    setupLogging(m_settings, m_consoleLog);
    logInfo(QStringLiteral("Start service %1 (v%2)").arg(QLatin1String(kName), QLatin1String(kVersion)));
    for (const ConfigReport::Line &line : ConfigReport::startLines(report, m_settings))
        line.warning ? logWarn(line.text) : logInfo(line.text);
    StatusRegistry::ServiceInfo &info = m_registry->service();
    info.version = QString::fromLatin1(kVersion);
    info.commit = QStringLiteral(KIV_GIT_COMMIT);
    info.pid = QCoreApplication::applicationPid();
    info.startedMs = QDateTime::currentMSecsSinceEpoch();
    info.settings = report.found ? report.path : QString();
    info.hotplug = m_settings.hotplug;
    m_link.start(watchdogUsec());

    if (m_settings.hotplug) {
        logInfo(QStringLiteral("Hotplug mode"));
        m_hotplug.start();
    } else if (m_settings.usbDevices.isEmpty() && m_settings.comDevices.isEmpty()) {
        logInfo(QStringLiteral("No devices in config"));
        QCoreApplication::quit();
        return;
    }
    registerDevices(m_settings);
    // After at least one turn of the loop, so the control channel answers.
    QMetaObject::invokeMethod(this, [this] { checkReady(); }, Qt::QueuedConnection);
}

void Service::checkReady()
{
    if (!m_stopped && m_pending.isEmpty())
        m_link.reportReady();
}

bool Service::workersAnswer()
{
    return m_link.workersAnswer();
}

void Service::registerDevices(const Settings &settings)
{
    // One device per step of the event loop: signals and the control
    // channel are served between them, however many devices there are.
    m_pending.append(DeviceEntry::configured(settings, m_hotplug.fallback()));
    scheduleRegistration();
}

void Service::onHotplugRecovered()
{
    for (WorkerPair &pair : m_pairs) {
        if (pair.fallback && !pair.stopping)
            stopPair(pair);
    }
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(), [](const DeviceEntry &e) { return e.fallback; }),
                    m_pending.end());
    m_arrivals.serveWaiting();
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
        for (const WorkerPair &pair : std::as_const(m_pairs)) {
            // Resumed by onWorkEnded() or by the deadline's timer.
            if (pair.stopping && pair.alive())
                return;
        }
    }
    const DeviceEntry next = m_pending.takeFirst();
    if (next.usb) {
        registerUsbWorker(next.usbEntry);
        m_pairs.last().fallback = next.fallback;
    } else {
        registerComWorker(next.comEntry);
    }
    scheduleRegistration();
    checkReady();
}

QString Service::reload()
{
    if (m_stopped || !m_running)
        return QString();
    SettingsReport report;
    const Settings fresh = readSettingsFrom(configFilePath(), &report);
    if (!report.found || !report.readable || !report.error.isEmpty()) {
        const QString why = ConfigReport::unusedBecause(report);
        const QString line = QStringLiteral("Reload: configuration file %1 not used, %2; the running devices are kept")
                                 .arg(report.path, why);
        logWarn(line);
        StatusRegistry::ServiceInfo &info = m_registry->service();
        info.reloadMs = QDateTime::currentMSecsSinceEpoch();
        info.reloadOk = false;
        info.reloadText = QStringLiteral("%1 not used: %2").arg(report.path, why);
        return line;
    }
    return applySettings(fresh, report.path);
}

QString Service::applySettings(const Settings &fresh, const QString &path)
{
    if (fresh.logsDir != m_settings.logsDir || fresh.journalLevel != m_settings.journalLevel)
        setupLogging(fresh, m_consoleLog);
    const bool hotplugChanged = fresh.hotplug != m_settings.hotplug;
    m_settings = fresh;

    // Pairs that ended on their own count as gone: a reload brings them back.
    QList<ReloadDiff::Running> running;
    QList<int> pairAt;
    for (int i = 0; i < m_pairs.size(); ++i) {
        const WorkerPair &pair = m_pairs.at(i);
        if (!pair.stopping && pair.alive()) {
            running.append({pair.key, pair.id, pair.hotplugged});
            pairAt.append(i);
        }
    }
    const ReloadDiff diff = ReloadDiff::compute(running, m_pending, fresh, m_hotplug.failing());
    m_pending = diff.start;
    for (int i : diff.stop) {
        WorkerPair &pair = m_pairs[pairAt.at(i)];
        // Sessions cut by it say why.
        if (pair.ofdGuard)
            WorkerGuard::requestCall(pair.ofdGuard, "setStopCause", QStringLiteral("reload"));
        stopPair(pair);
    }

    if (hotplugChanged) {
        if (fresh.hotplug) {
            m_hotplug.start();
            // Detection failed: the configured devices instead, once the
            // pairs stopped above have ended.
            if (m_hotplug.fallback())
                m_pending.append(DeviceEntry::configured(fresh, true).mid(0, fresh.usbDevices.size()));
        } else {
            m_hotplug.stop();
            for (WorkerPair &pair : m_pairs)
                pair.fallback = false;
            m_arrivals.dropWaiting();
        }
    }
    removeEndedPairs();

    QString line = QStringLiteral("Reload configuration file %1: added %2, removed %3, changed %4, unchanged %5")
                       .arg(path, ConfigReport::idList(diff.added), ConfigReport::idList(diff.removed),
                            ConfigReport::idList(diff.changed))
                       .arg(diff.unchanged);
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
    if (!m_pending.isEmpty() && !diff.stop.isEmpty()) {
        QTimer::singleShot(stopGrace(), this, [this] { scheduleRegistration(); });
    }
    scheduleRegistration();
    return line;
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
    return ConfigReport::check(given.isEmpty() ? configFilePath() : QFileInfo(given).absoluteFilePath());
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
    m_link.stop();
    m_hotplug.stop();
    m_arrivals.close();
    // Every worker is asked at once, in its own thread: the main thread
    // never waits on a worker here.
    for (WorkerPair &pair : m_pairs)
        stopPair(pair);
}

void Service::stopPair(WorkerPair &pair)
{
    m_registry->setStopping(pair.id);
    pair.requestStop();
}

void Service::onWorkEnded()
{
    removeEndedPairs();
    m_arrivals.serveWaiting();
    workEnded();
    scheduleRegistration();
    pruneRegistry();
    m_link.publish();
}

void Service::pruneRegistry()
{
    QSet<QString> wanted;
    for (const WorkerPair &pair : std::as_const(m_pairs)) {
        if (pair.alive())
            wanted.insert(pair.id);
    }
    for (const DeviceEntry &entry : std::as_const(m_pending))
        wanted.insert(entry.id());
    if (!m_stopped) {
        for (const DeviceEntry &entry : DeviceEntry::configured(m_settings, m_hotplug.fallback()))
            wanted.insert(entry.id());
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

void Service::removeEndedPairs()
{
    m_arrivals.reclaimFromEndedPairs();
    m_pairs.erase(std::remove_if(m_pairs.begin(), m_pairs.end(), [](const WorkerPair &p) { return !p.alive(); }),
                  m_pairs.end());
}

bool Service::hasRunningWork() const
{
    return std::any_of(m_pairs.begin(), m_pairs.end(), [](const WorkerPair &p) { return p.alive(); });
}

void Service::abandonRunningWork()
{
    int left = 0;
    for (const WorkerPair &pair : std::as_const(m_pairs)) {
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
    m_pairs.last().key = DeviceEntry::usbKey(entry);
    m_pairs.last().hotplugged = entry.hotplugged;
    m_pairs.last().usbPort = entry.port.isNull() ? QStringLiteral("") : entry.port;
}

void Service::registerComWorker(const ComDeviceSettings &entry)
{
    logInfo(QStringLiteral("Register Dalv worker [%1]").arg(entry.id));
    m_registry->addDevice(entry.id, entry.protocol == 2 ? QStringLiteral("p2") : QStringLiteral("p3"), entry.dev.port);
    startWorkerPair(createComWorker(entry), entry.id);
    m_pairs.last().key = DeviceEntry::comKey(entry);
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
    // The device log goes where the configuration in force says, never
    // where a rejected file would have put it.
    return new OfdWorker(id, deviceDebugLogger(id, m_settings.logsDir));
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

void Service::startWorkerPair(IPortWorker *portWorker, const QString &id)
{
    IWorker *ofdWorker = createOfdWorker(id);
    WorkerPair pair = WorkerPair::make(id, portWorker, ofdWorker, this, [this] { onWorkEnded(); });
    // The registry hears the pair through a feed of its own on this thread.
    if (!m_registry->contains(id))
        m_registry->addDevice(id, QString(), QString());
    pair.feed = new DeviceFeed(id, m_registry, m_registry);
    pair.feed->attach(portWorker, ofdWorker);
    connect(pair.ofdThread.data(), &QObject::destroyed, pair.feed.data(), &QObject::deleteLater);

    m_link.watchWorker(portWorker, pair.portGuard, id);
    m_link.watchWorker(ofdWorker, pair.ofdGuard, id);
    m_pairs.append(pair);
    m_pairs.last().startThreads();
    m_link.publish();
}

void Service::onDeviceArrived(const QMap<QString, QString> &properties)
{
    UsbDeviceSettings entry;
    entry.id = properties.value(QStringLiteral("Dev"));
    entry.port = entry.id;
    entry.hotplugged = true;
    // Pairs are only ever made in the main thread: a call from elsewhere is
    // queued there, one from the main thread runs at once.
    QMetaObject::invokeMethod(this, [this, entry] { m_arrivals.arrive(entry); }, Qt::AutoConnection);
}

void Service::onDeviceLeft(const QMap<QString, QString> &properties)
{
    // A worker whose device has gone ends through its own read errors.
    Q_UNUSED(properties);
}
