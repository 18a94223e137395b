#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>

class ServiceBase;

// The command-line side of a service: reads the first argument, prints the
// usage, asks the running service over the control channel ("-t", "-p",
// "-r", "-c", "-v", "-s"), and installs or removes the systemd unit. The
// daemon itself (ServiceBase) runs the service.
class ServiceClient
{
public:
    enum class Command {
        Daemon, Exec, Terminate, Pause, Resume, SendCommand, Version, Install, Uninstall, Help,
        PrintVersion, CheckConfig, Status, Unknown
    };

    ServiceClient(ServiceBase &service, int argc, char **argv);

    static Command parse(const QString &argument);
    QString usage() const;
    // Acts on a command that does not run the service; the exit code.
    int run(Command command);

    // Prints text and a line end when it has none.
    static void print(FILE *stream, const QString &text);

private:
    int sendRequest(const QString &request, const QString &done);
    int terminate();
    int printVersion();
    int install();
    int uninstall();
    QString program() const;

    ServiceBase &m_service;
    int m_argc;
    char **m_argv;
};
