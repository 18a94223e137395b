#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;

// The local control channel between a running service and the command line
// ("-t", "-p", "-r", "-c", "-v"): a Unix socket in a runtime directory,
// named after the executable's path so that separate installations (and
// separate test copies) never meet. Only the service's own user and root
// may talk to it; root's commands also look in other users' runtime
// directories.
//
// Requests and replies are single text lines: "terminate", "pause",
// "resume", "command N", "status"; the service answers "ok PID" or
// "error TEXT". After "terminate" the service keeps the connection open
// until the process ends, so a client sees the end as end-of-file.
class ControlChannel : public QObject
{
    Q_OBJECT
public:
    enum ListenResult { Listening, AlreadyRunning, Failed };
    // Longest request line, and longest reply unless asked otherwise.
    static constexpr int kMaxLine = 256;

    // Returns the reply line (without "\n") for a request line.
    using Handler = std::function<QString(const QString &request)>;

    explicit ControlChannel(QObject *parent = nullptr);
    ~ControlChannel() override;

    // Chooses the runtime directory and starts listening. A stale socket of
    // a service that is gone is replaced.
    ListenResult listen(QString *error = nullptr);
    void close();
    QString socketPath() const { return m_path; }
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Told once per connection about a refused request (one that the
    // handler answered with "error ..." or that is too long).
    void setProblemHandler(std::function<void(const QString &)> handler) { m_problem = std::move(handler); }

    // Runtime directories, most preferred first: "/run/kiv", the user's
    // runtime directory, then a private directory under /tmp.
    static QStringList runtimeDirs();
    // Where clients look: runtimeDirs(), and for root also the runtime
    // directories of every other user ("/run/user/UID/kiv", "/tmp/kiv-UID")
    // that belong to that user and nobody else may write to.
    static QStringList clientDirs();
    // Socket file name for this executable (or the one at that canonical path).
    static QString socketName(const QString &executable = QString());

    // Client side, usable before any application object exists.
    // Sends one request to the running service and reads the reply line.
    // Returns false when no service answers; *error then says why.
    // With keepOpen the connection stays open and its descriptor is
    // returned in *fd (for waitForClose), otherwise it is closed.
    // A reply may be up to maxReply bytes long.
    static bool request(const QString &line, QString *reply, QString *error,
                        int timeoutMs = 5000, int *fd = nullptr, int maxReply = kMaxLine);
    // Whether a service's socket is there but this user may not reach it.
    static bool accessDenied();
    // Waits up to timeoutMs for the service to close the connection fd
    // (that is, to end); closes fd in any case.
    static bool waitForClose(int fd, int timeoutMs);
    // Whether a service of this executable answers; its pid when it does.
    static bool isRunning(qint64 *pid = nullptr);

private:
    void acceptConnections();
    void serve(QLocalSocket *socket);
    static bool prepareDir(const QString &dir, bool create);

    QLocalServer *m_server = nullptr;
    QString m_path;
    Handler m_handler;
    std::function<void(const QString &)> m_problem;
};
