#include "devsim/simulation.h"

#include "devsim/democonfig.h"
#include "devsim/morv2device.h"
#include "devsim/morv3device.h"
#include "devsim/ofdstandin.h"
#include "devsim/posapp.h"
#include "devsim/ptyend.h"

#include <QStringList>
#include <QTimer>

Simulation::Simulation(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{
}

QString Simulation::devPort() const
{
    return m_devLine ? m_devLine->slavePath() : QString();
}

QString Simulation::appPort() const
{
    return m_appLine ? m_appLine->slavePath() : QString();
}

bool Simulation::prepare()
{
    if (m_options.echoRounds > 0 && m_options.ofdHost.isEmpty()) {
        m_error = QStringLiteral("echo rounds need the echo server named as the OFD server");
        return false;
    }
    if (m_options.ofdHost.isEmpty()) {
        m_server = new OfdStandIn(this);
        if (!m_server->listen(m_options.ofdPort)) {
            m_error = QStringLiteral("the stand-in OFD server cannot listen on 127.0.0.1:%1: %2")
                          .arg(m_options.ofdPort)
                          .arg(m_server->errorString());
            return false;
        }
        m_options.ofdHost = "127.0.0.1";
        m_options.ofdPort = m_server->port();
    }

    m_devLine = new PtyEnd(this);
    m_appLine = new PtyEnd(this);
    if (!m_devLine->open()) {
        m_error = m_devLine->errorString();
        return false;
    }
    if (!m_appLine->open()) {
        m_error = m_appLine->errorString();
        return false;
    }

    if (!m_options.configPath.isEmpty()) {
        DemoConfig config;
        config.id = m_options.id;
        config.protocol = m_options.protocol;
        config.devPort = m_devLine->slavePath();
        config.appPort = m_appLine->slavePath();
        config.logsDir = m_options.logsDir;
        if (!config.write(m_options.configPath, &m_error))
            return false;
    }

    if (m_options.protocol == 2)
        m_device = new Morv2Device(m_devLine, this);
    else
        m_device = new Morv3Device(m_devLine, this);

    m_app = new PosApp(m_appLine, m_options.protocol, this);
    connect(m_device, &DeviceEnd::contact, this, &Simulation::onContact);
    if (m_options.echoRounds > 0) {
        EchoRounds::Options echoOptions;
        echoOptions.host = m_options.ofdHost;
        echoOptions.port = m_options.ofdPort;
        echoOptions.rounds = m_options.echoRounds;
        echoOptions.size = m_options.echoSize;
        echoOptions.seed = m_options.seed;
        m_echo = new EchoRounds(echoOptions, this);
        connect(m_device, &DeviceEnd::ofdReceived, m_echo, &EchoRounds::receive);
        connect(m_echo, &EchoRounds::send, m_device, &DeviceEnd::sendOfd);
        connect(m_echo, &EchoRounds::firstHandshake, this, &Simulation::onHandshake);
        connect(m_echo, &EchoRounds::sampleTaken, this, &Simulation::onEchoSample);
        connect(m_echo, &EchoRounds::finished, this, &Simulation::maybeFinish);
    } else {
        TlvDevice::Options tlvOptions;
        tlvOptions.host = m_options.ofdHost;
        tlvOptions.port = m_options.ofdPort;
        tlvOptions.documents = m_options.documents;
        tlvOptions.documentTimeoutMs = m_options.documentTimeoutMs;
        m_tlv = new TlvDevice(tlvOptions, this);
        connect(m_device, &DeviceEnd::ofdReceived, m_tlv, &TlvDevice::receive);
        connect(m_tlv, &TlvDevice::send, m_device, &DeviceEnd::sendOfd);
        connect(m_tlv, &TlvDevice::firstHandshake, this, &Simulation::onHandshake);
        connect(m_tlv, &TlvDevice::documentFinished, this, &Simulation::onDocument);
        connect(m_tlv, &TlvDevice::finished, this, &Simulation::maybeFinish);
    }
    connect(m_app, &PosApp::progress, this, &Simulation::message);
    connect(m_app, &PosApp::finished, this, &Simulation::maybeFinish);

    m_summary.protocol = m_options.protocol;
    m_summary.documentsPlanned = m_options.documents;
    m_summary.commandsPlanned = m_options.commands;
    return true;
}

void Simulation::start()
{
    m_contactTimer = new QTimer(this);
    m_contactTimer->setSingleShot(true);
    connect(m_contactTimer, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("the service did not talk to the device on %1 within %2 s; "
                              "is it running with a configuration naming that port?")
                   .arg(devPort())
                   .arg(m_options.contactTimeoutMs / 1000));
    });
    m_contactTimer->start(m_options.contactTimeoutMs);

    m_totalTimer = new QTimer(this);
    m_totalTimer->setSingleShot(true);
    connect(m_totalTimer, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("the run took longer than %1 s").arg(m_options.totalTimeoutMs / 1000));
    });
    m_totalTimer->start(m_options.totalTimeoutMs);
    emit message(QStringLiteral("device: waiting for the service on %1 (exchange protocol %2)")
                     .arg(devPort())
                     .arg(m_options.protocol));
}

void Simulation::abort(const QString &reason)
{
    finish(reason);
}

void Simulation::onContact()
{
    emit message(QStringLiteral("device: the service is talking to the device"));
}

void Simulation::onHandshake()
{
    m_contactTimer->stop();
    if (m_echo) {
        emit message(QStringLiteral("device: version handshake done; timing %1 echo round(s) of %2 bytes with the server at %3:%4")
                         .arg(m_options.echoRounds)
                         .arg(m_echo->payload().size())
                         .arg(QString::fromLatin1(m_options.ofdHost))
                         .arg(m_options.ofdPort));
        return;
    }
    emit message(QStringLiteral("device: version handshake done; sending %1 document(s) to the OFD server at %2:%3")
                     .arg(m_options.documents)
                     .arg(QString::fromLatin1(m_options.ofdHost))
                     .arg(m_options.ofdPort));
    // The application's commands run alongside the OFD traffic.
    QTimer::singleShot(300, m_app, [this] { m_app->run(m_options.commands, 300); });
}

void Simulation::onDocument(const TlvDevice::DocumentResult &result)
{
    if (result.intact)
        emit message(QStringLiteral("device: document %1 of %2: %3 bytes sent, %4-byte reply intact after %5 ms")
                         .arg(result.sequence)
                         .arg(m_options.documents)
                         .arg(result.bytesSent)
                         .arg(result.replyBytes)
                         .arg(result.roundTripMs));
    else
        emit message(QStringLiteral("device: document %1 of %2 FAILED: %3")
                         .arg(result.sequence)
                         .arg(m_options.documents)
                         .arg(result.failure));
}

void Simulation::onEchoSample(const EchoRounds::Sample &sample)
{
    emit message(QStringLiteral("echo round %1: service %2 us, direct %3 us")
                     .arg(sample.round)
                     .arg(sample.serviceUs)
                     .arg(sample.directUs));
}

void Simulation::maybeFinish()
{
    if (m_echo ? m_echo->done() : m_tlv->done() && m_app->done())
        finish(QString());
}

void Simulation::finish(const QString &abortReason)
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_contactTimer)
        m_contactTimer->stop();
    if (m_totalTimer)
        m_totalTimer->stop();
    m_summary.abortReason = abortReason;
    if (m_tlv) {
        m_summary.documents = m_tlv->results();
        m_summary.grantViolations = m_tlv->grantViolations();
    }
    if (m_app) {
        m_summary.commandsSent = m_app->sent();
        m_summary.commandsIntact = m_app->answeredIntact();
    }
    if (m_device)
        m_summary.badFrames = m_device->badFrames();
    if (m_echo)
        emit finished(echoSuccess());
    else
        emit finished(m_summary.success());
}

bool Simulation::echoSuccess() const
{
    return m_echo && m_echo->ok() && m_echo->grantViolations() == 0 && m_summary.abortReason.isEmpty()
        && m_summary.badFrames == 0;
}

QString Simulation::summaryText() const
{
    if (!m_echo)
        return m_summary.text();
    QStringList lines = m_echo->summaryText().split(QLatin1Char('\n'));
    lines.removeLast(); // the result, given here for the whole run
    if (m_summary.badFrames)
        lines << QStringLiteral("  damaged frames:         %1").arg(m_summary.badFrames);
    if (!m_summary.abortReason.isEmpty())
        lines << QStringLiteral("  stopped early: %1").arg(m_summary.abortReason);
    lines << (echoSuccess() ? QStringLiteral("Result: OK, every echo came back intact") : QStringLiteral("Result: FAILED"));
    return lines.join(QLatin1Char('\n'));
}
