// kiv-devsim: a simulated fiscal device, point-of-sale application and OFD
// server, so the service can be seen doing its job without hardware.

#include "devsim/configcheck.h"
#include "devsim/ofdstandin.h"
#include "devsim/simulation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum ExitCode { Success = 0, ExchangeFailed = 1, BadInput = 2 };

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// Calls `handler` in the event loop when SIGINT or SIGTERM arrives.
template<typename Handler>
void watchSignals(QObject *owner, Handler handler)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [handler] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &c, 1);
        handler();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void say(const QString &line)
{
    std::printf("kiv-devsim: %s\n", qPrintable(line));
    std::fflush(stdout);
}

int fail(const QString &line, int code = BadInput)
{
    std::fprintf(stderr, "kiv-devsim: error: %s\n", qPrintable(line));
    return code;
}

bool toInt(const QString &text, int low, int high, int *value)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        return false;
    *value = v;
    return true;
}

int serve(QCoreApplication &app, int port)
{
    OfdStandIn server;
    server.setVerbose(true);
    if (!server.listen(quint16(port)))
        return fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(server.errorString()));
    say(QStringLiteral("stand-in OFD server listening on 127.0.0.1:%1").arg(server.port()));
    watchSignals(&app, [&app] { app.quit(); });
    app.exec();
    say(QStringLiteral("stand-in OFD server: %1 document(s) answered, %2 bytes in, %3 bytes out")
            .arg(server.documentsServed())
            .arg(server.bytesIn())
            .arg(server.bytesOut()));
    return Success;
}

int checkConfig(const QString &path)
{
    QStringList notes;
    QString error;
    const bool ok = ConfigCheck::check(path, &notes, &error);
    for (const QString &note : notes)
        say(note);
    if (!ok)
        return fail(error);
    return Success;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kiv-devsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays a fiscal device and its point-of-sale application on two pseudo-terminals, "
        "for the service to serve, and checks every OFD exchange end to end.\n"
        "With --serve it plays only the OFD server; with --check-config it checks a settings.xml."));
    parser.addHelpOption();
    const QCommandLineOption protocolOption(QStringLiteral("protocol"), QStringLiteral("Exchange protocol of the device: 2 or 3 (default 3)."), QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption documentsOption(QStringLiteral("documents"), QStringLiteral("Documents to send to the OFD server (default 5)."), QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption commandsOption(QStringLiteral("commands"), QStringLiteral("Application commands to relay through the service (default 3)."), QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption ofdOption(QStringLiteral("ofd"), QStringLiteral("OFD server the device names, host:port (default: a stand-in server in this process on a free loopback port)."), QStringLiteral("host:port"));
    const QCommandLineOption configOption(QStringLiteral("config"), QStringLiteral("Write the service's settings.xml, naming the simulated device's ports, to this file."), QStringLiteral("file"));
    const QCommandLineOption logsOption(QStringLiteral("logs"), QStringLiteral("Log directory to name in the written settings.xml."), QStringLiteral("dir"));
    const QCommandLineOption idOption(QStringLiteral("id"), QStringLiteral("Device id in the written settings.xml (default devsim)."), QStringLiteral("id"), QStringLiteral("devsim"));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"), QStringLiteral("Give up after this many seconds (default 120)."), QStringLiteral("s"), QStringLiteral("120"));
    const QCommandLineOption serveOption(QStringLiteral("serve"), QStringLiteral("Only run the stand-in OFD server, on this loopback port (0: a free one), until interrupted."), QStringLiteral("port"));
    const QCommandLineOption checkOption(QStringLiteral("check-config"), QStringLiteral("Only check that this settings.xml names a device the service can serve."), QStringLiteral("file"));
    const QCommandLineOption echoRoundsOption(QStringLiteral("echo-rounds"), QStringLiteral("Instead of documents, time this many round trips of one payload to the --ofd server, which must echo, and the same straight over TCP; a line per round (us)."), QStringLiteral("n"));
    const QCommandLineOption echoSizeOption(QStringLiteral("echo-size"), QStringLiteral("Bytes of the echo rounds' payload, 1 to 255 (default 64)."), QStringLiteral("n"), QStringLiteral("64"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed of the echo rounds' payload and pauses (default 13)."), QStringLiteral("n"), QStringLiteral("13"));
    parser.addOptions({protocolOption, documentsOption, commandsOption, ofdOption, configOption, logsOption,
                       idOption, timeoutOption, serveOption, checkOption, echoRoundsOption, echoSizeOption, seedOption});
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText() + QStringLiteral(" (see --help)"));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(Success);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\" (see --help)").arg(parser.positionalArguments().first()));

    if (parser.isSet(checkOption))
        return checkConfig(parser.value(checkOption));
    if (parser.isSet(serveOption)) {
        int port = 0;
        if (!toInt(parser.value(serveOption), 0, 65535, &port))
            return fail(QStringLiteral("--serve wants a port number from 0 to 65535, not \"%1\"").arg(parser.value(serveOption)));
        return serve(app, port);
    }

    Simulation::Options options;
    if (!toInt(parser.value(protocolOption), 2, 3, &options.protocol))
        return fail(QStringLiteral("--protocol must be 2 or 3, not \"%1\"").arg(parser.value(protocolOption)));
    if (!toInt(parser.value(documentsOption), 1, 10000, &options.documents))
        return fail(QStringLiteral("--documents must be a number from 1 to 10000"));
    if (!toInt(parser.value(commandsOption), 0, 1000, &options.commands))
        return fail(QStringLiteral("--commands must be a number from 0 to 1000"));
    int seconds = 0;
    if (!toInt(parser.value(timeoutOption), 1, 86400, &seconds))
        return fail(QStringLiteral("--timeout must be a number of seconds from 1 to 86400"));
    options.totalTimeoutMs = seconds * 1000;
    options.contactTimeoutMs = qMin(options.totalTimeoutMs, 45000);
    if (parser.isSet(ofdOption)) {
        const QString value = parser.value(ofdOption);
        const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
        int port = 0;
        if (colon <= 0 || !toInt(value.mid(colon + 1), 1, 65535, &port))
            return fail(QStringLiteral("--ofd wants host:port, not \"%1\"").arg(value));
        options.ofdHost = value.left(colon).toUtf8();
        options.ofdPort = quint16(port);
    }
    if (parser.isSet(echoRoundsOption)) {
        if (!toInt(parser.value(echoRoundsOption), 1, 1000000, &options.echoRounds))
            return fail(QStringLiteral("--echo-rounds must be a number from 1 to 1000000"));
        if (!toInt(parser.value(echoSizeOption), 1, 255, &options.echoSize))
            return fail(QStringLiteral("--echo-size must be a number from 1 to 255"));
        int seed = 0;
        if (!toInt(parser.value(seedOption), 0, 2147483647, &seed))
            return fail(QStringLiteral("--seed must be a number from 0 to 2147483647"));
        options.seed = quint32(seed);
        if (!parser.isSet(ofdOption))
            return fail(QStringLiteral("--echo-rounds needs --ofd naming an echo server"));
    }
    options.configPath = parser.value(configOption);
    options.logsDir = parser.value(logsOption);
    options.id = parser.value(idOption);

    Simulation simulation(options);
    if (!simulation.prepare())
        return fail(simulation.errorString());
    say(QStringLiteral("device port %1, application port %2").arg(simulation.devPort(), simulation.appPort()));
    if (options.ofdHost.isEmpty())
        say(QStringLiteral("stand-in OFD server listening on 127.0.0.1:%1").arg(simulation.ofdPort()));
    if (!options.configPath.isEmpty())
        say(QStringLiteral("service configuration written to %1").arg(options.configPath));

    int exitCode = ExchangeFailed;
    QObject::connect(&simulation, &Simulation::message, &app, say);
    QObject::connect(&simulation, &Simulation::finished, &app, [&](bool success) {
        for (const QString &line : simulation.summaryText().split(QLatin1Char('\n')))
            say(line);
        exitCode = success ? Success : ExchangeFailed;
        app.exit(exitCode);
    });
    watchSignals(&app, [&simulation] { simulation.abort(QStringLiteral("interrupted")); });
    simulation.start();
    app.exec();
    return exitCode;
}
