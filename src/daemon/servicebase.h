#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class ControlChannel;

// The daemon: runs the service in the background or in the foreground,
// serves the local control channel, turns SIGTERM and SIGINT into an orderly
// stop bounded in time. The command line's other options are ServiceClient's.
// A service derives from it and fills in the virtual operations, which are
// called in the main thread.
class ServiceBase
{
public:
    enum StartupType { AutoStartup = 0, ManualStartup };

    // argc and argv are kept and handed to createApplication.
    ServiceBase(int argc, char **argv, const QString &name);
    virtual ~ServiceBase();

    ServiceBase(const ServiceBase &) = delete;
    ServiceBase &operator=(const ServiceBase &) = delete;

    QString serviceName() const { return m_name; }
    StartupType startupType() const { return m_startupType; }
    void setStartupType(StartupType type) { m_startupType = type; }

    // Acts on the command line; returns the process exit code.
    int exec();

    // How long stop() may take before exec() stops waiting for the work to
    // wind down; tests shorten it.
    void setStopGrace(int msecs) { m_stopGraceMs = msecs; }

    // Name of the systemd unit, e.g. "kiv.service".
    QString unitName() const;
    int stopGrace() const { return m_stopGraceMs; }

protected:
    friend class ServiceClient;

    virtual void start() = 0;
    virtual void stop() {}
    virtual void pause() {}
    virtual void resume() {}
    virtual void processCommand(int code) { (void)code; }
    // SIGHUP: read the configuration again and apply it.
    virtual void reload() {}
    // "--check-config [FILE]" (path empty: the file the service would
    // read); prints its findings and returns the exit code.
    virtual int checkConfig(const QString &path);
    // "--version": the line printed.
    virtual QString versionText() const { return m_name; }
    // A control request this layer does not know ("devices ..."): the
    // answer line ("ok ..." or "error ..."), empty when unknown too.
    virtual QString answerRequest(const QString &request) { (void)request; return QString(); }
    // "-s [ARGS]": asks the running service and prints; the exit code.
    virtual int statusCommand(const QStringList &arguments);
    // The usage lines of "-s", ending in a line break.
    virtual QString statusUsage() const { return QString(); }
    // A problem the daemon layer saw (e.g. a refused control request).
    virtual void logProblem(const QString &text);
    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

    // Whether work begun by start() is still winding down after stop();
    // exec() keeps the event loop running (bounded) until it is not.
    virtual bool hasRunningWork() const { return false; }
    // Called once when the grace period ran out with work still running.
    virtual void abandonRunningWork() {}
    // The derived class calls it when some work may have ended, so that a
    // stop waiting for hasRunningWork() to turn false ends without polling.
    void workEnded();

private:
    int runDaemon();
    int run(int readyFd);

    QString handleRequest(const QString &request);
    void requestTerminate();
    void onSignal(int signo);
    void finishWhenIdle();
    void waitForWork(int msecs);

    int m_argc;
    char **m_argv;
    QString m_name;
    StartupType m_startupType = ManualStartup;
    int m_stopGraceMs = 5000;
    bool m_started = false;
    bool m_stopped = false;
    bool m_terminating = false;
    std::unique_ptr<ControlChannel> m_channel;
    // Set while something waits for the work to end.
    std::function<void()> m_onWorkEnded;
};
