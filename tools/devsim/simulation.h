#pragma once

#include "devsim/echorounds.h"
#include "devsim/runsummary.h"
#include "devsim/tlvdevice.h"

#include <QObject>
#include <QString>

class DeviceEnd;
class OfdStandIn;
class PosApp;
class PtyEnd;
class QTimer;

// One run of the simulator: the two serial lines, the device on one, the
// point-of-sale application on the other, the TLV device logic and, unless
// a server is named, the stand-in OFD server. Reports progress as lines
// and ends with a summary. With echo rounds asked for, the device times
// round trips to the named (echo) server instead of sending documents.
class Simulation : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        int protocol = 3;
        int documents = 5;
        int commands = 3;
        QByteArray ofdHost;   // empty: run the stand-in server here
        quint16 ofdPort = 0;
        QString configPath;   // where to write the service's settings.xml
        QString logsDir;      // log directory to name in it
        QString id = QStringLiteral("devsim");
        int contactTimeoutMs = 45000;
        int totalTimeoutMs = 120000;
        int documentTimeoutMs = 30000;
        int echoRounds = 0;   // more than 0: time this many echo rounds
        int echoSize = 64;
        quint32 seed = 13;
    };

    explicit Simulation(const Options &options, QObject *parent = nullptr);

    // Opens the lines (and the server), writes the configuration. False
    // with errorString() when something the user gave cannot be used.
    bool prepare();
    QString errorString() const { return m_error; }
    QString devPort() const;
    QString appPort() const;
    quint16 ofdPort() const { return m_options.ofdPort; }

    // Starts waiting for the service; finished() follows.
    void start();
    // Ends the run now (as after Ctrl-C).
    void abort(const QString &reason);

    const RunSummary &summary() const { return m_summary; }
    // What the user reads at the end, of whichever run this was.
    QString summaryText() const;

signals:
    void message(const QString &line);
    void finished(bool success);

private:
    void onContact();
    void onHandshake();
    void onDocument(const TlvDevice::DocumentResult &result);
    void onEchoSample(const EchoRounds::Sample &sample);
    void maybeFinish();
    bool echoSuccess() const;
    void finish(const QString &abortReason);

    Options m_options;
    QString m_error;
    PtyEnd *m_devLine = nullptr;
    PtyEnd *m_appLine = nullptr;
    OfdStandIn *m_server = nullptr;
    DeviceEnd *m_device = nullptr;
    TlvDevice *m_tlv = nullptr;
    EchoRounds *m_echo = nullptr;
    PosApp *m_app = nullptr;
    QTimer *m_contactTimer = nullptr;
    QTimer *m_totalTimer = nullptr;
    RunSummary m_summary;
    bool m_finished = false;
};
