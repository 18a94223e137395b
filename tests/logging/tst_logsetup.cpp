#include "logging/consoleappender.h"
#include "logging/dailyrollingfileappender.h"
#include "logging/loglayout.h"
#include "service/logsetup.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <log4cxx/consoleappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/spi/location/locationinfo.h>
#include <log4cxx/spi/loggingevent.h>

#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), content.size());
}

// Standard output (or another descriptor) goes to a file while the capture
// lives.
class StdoutCapture
{
public:
    explicit StdoutCapture(const QString &path, int fd = 1) : m_path(path), m_fd(fd)
    {
        std::fflush(stdout);
        std::fflush(stderr);
        m_saved = ::dup(fd);
        FILE *f = std::fopen(QFile::encodeName(path).constData(), "w");
        ::dup2(::fileno(f), fd);
        std::fclose(f);
    }
    ~StdoutCapture() { restore(); }
    QByteArray text()
    {
        restore();
        return readFile(m_path);
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(m_saved, m_fd);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_fd;
    int m_saved = -1;
};

// Checks that text holds exactly the lines the stress threads in `threads`
// wrote, each whole and in its thread's order; returns what is wrong.
QString checkStressLines(const QByteArray &text, const QList<int> &threads,
                         const std::vector<int> &counts)
{
    static const QRegularExpression line(
        "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3} INFO  \\[(?:USB|Debug)-s(\\d)\\] "
        "t(\\d) n(\\d+) (x*)$");
    std::vector<int> next(counts.size(), 0);
    const QList<QByteArray> lines = text.split('\n');
    if (!text.endsWith('\n'))
        return QStringLiteral("no line end at the end");
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch m = line.match(QString::fromUtf8(lines.at(i)));
        const int t = m.hasMatch() ? m.captured(2).toInt() : -1;
        if (t < 0 || !threads.contains(t) || m.captured(1).toInt() != t / 2
            || m.captured(3).toInt() != next[size_t(t)] || m.captured(4).size() != next[size_t(t)] % 40)
            return QStringLiteral("line %1: \"%2\"").arg(i + 1).arg(QString::fromUtf8(lines.at(i).toPercentEncoding(" [],:-")));
        ++next[size_t(t)];
    }
    for (int t : threads) {
        if (next[size_t(t)] != counts[size_t(t)])
            return QStringLiteral("thread %1: %2 of %3 lines").arg(t).arg(next[size_t(t)]).arg(counts[size_t(t)]);
    }
    return QString();
}

const char kLine[] = "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3} %1 \\[%2\\] %3\\n";

} // namespace

class TestLogSetup : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    QString m_previousDir;
    QString m_strayLog;

    Settings settingsFor(const QString &dir)
    {
        Settings s;
        s.logsDir = dir;
        return s;
    }

    static void info(const char *logger, const QString &text)
    {
        LOG4CXX_INFO(log4cxx::Logger::getLogger(logger), text.toStdString());
    }

private slots:
    // Before anything else in this process touches log4cxx: a configuration
    // file in the working directory and one named in the environment must
    // both be ignored.
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        m_strayLog = m_work.filePath("stray.log");
        const QByteArray stray = "log4j.rootLogger=TRACE, stray\n"
                                 "log4j.appender.stray=org.apache.log4j.FileAppender\n"
                                 "log4j.appender.stray.File=" + QFile::encodeName(m_strayLog) + "\n"
                                 "log4j.appender.stray.layout=org.apache.log4j.PatternLayout\n"
                                 "log4j.appender.stray.layout.ConversionPattern=STRAY %m%n\n";
        writeFile(m_work.filePath("log4cxx.properties"), stray);
        writeFile(m_work.filePath("log4j.properties"), stray);
        writeFile(m_work.filePath("named.properties"), stray);
        qputenv("LOG4CXX_CONFIGURATION", QFile::encodeName(m_work.filePath("named.properties")));
        m_previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_work.path()));

        QTemporaryDir logs;
        setupLogging(settingsFor(logs.path()), false);
        info("Kiv", QStringLiteral("first line"));

        const log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
        QCOMPARE(root->getAllAppenders().size(), size_t(1));
        QVERIFY(root->getAppender(LOG4CXX_STR("stray")) == nullptr);
        QCOMPARE(root->getLevel(), log4cxx::Level::getDebug());
        QVERIFY(!QFile::exists(m_strayLog));
        QVERIFY(readFile(QDir(logs.path()).filePath("Kiv.log")).contains("first line"));
    }

    void cleanupTestCase()
    {
        QDir::setCurrent(m_previousDir);
        qunsetenv("LOG4CXX_CONFIGURATION");
        log4cxx::Logger::getRootLogger()->removeAllAppenders();
    }

    void fileAppenderAlone()
    {
        QTemporaryDir logs;
        setupLogging(settingsFor(logs.path()), false);
        const log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
        QCOMPARE(root->getAllAppenders().size(), size_t(1));
        QVERIFY(root->getAppender(LOG4CXX_STR("console")) == nullptr);

        auto file = log4cxx::cast<kiv::DailyRollingFileAppender>(root->getAppender(LOG4CXX_STR("file")));
        QVERIFY(file);
        QCOMPARE(QString::fromStdString(file->getFile()), QDir(logs.path()).filePath("Kiv.log"));
        QCOMPARE(file->datePattern(), QStringLiteral("'.'yyyy-MM-dd"));
        QCOMPARE(file->frequency(), kiv::DailyRollingFileAppender::DAILY_ROLLOVER);
        QCOMPARE(file->maxBackupIndex(), 14);
        QVERIFY(file->zip());
        QVERIFY(file->getAppend());
        QVERIFY(file->isActive());

        info("USB-7", QStringLiteral("opened"));
        LOG4CXX_WARN(log4cxx::Logger::getLogger("Ofd-7"), "slow");
        const QByteArray text = readFile(QDir(logs.path()).filePath("Kiv.log"));
        QVERIFY2(QRegularExpression(QString(kLine).arg("INFO ", "USB-7", "opened")
                                    + QString(kLine).mid(1).arg("WARN ", "Ofd-7", "slow") + "$")
                     .match(QString::fromUtf8(text))
                     .hasMatch(),
                 text.constData());
    }

    void consoleAndFileWithLayoutsOfTheirOwn()
    {
        QTemporaryDir logs;
        setupLogging(settingsFor(logs.path()), true);
        const log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
        QCOMPARE(root->getAllAppenders().size(), size_t(2));
        auto console = log4cxx::cast<log4cxx::ConsoleAppender>(root->getAppender(LOG4CXX_STR("console")));
        auto file = root->getAppender(LOG4CXX_STR("file"));
        QVERIFY(console);
        QVERIFY(file);
        QCOMPARE(console->getTarget(), log4cxx::ConsoleAppender::getSystemOut());
        QVERIFY(console->getLayout() != file->getLayout());
        for (const log4cxx::LayoutPtr &layout : {console->getLayout(), file->getLayout()}) {
            auto pattern = log4cxx::cast<log4cxx::PatternLayout>(layout);
            QVERIFY(pattern);
            QCOMPARE(pattern->getConversionPattern(), log4cxx::LogString(kiv::LogLayout::kPattern));
        }

        StdoutCapture capture(logs.filePath("stdout.txt"));
        info("Kiv", QStringLiteral("to both"));
        const QByteArray out = capture.text();
        const QRegularExpression line(QString(kLine).arg("INFO ", "Kiv", "to both"));
        QVERIFY2(line.match(QString::fromUtf8(out)).hasMatch(), out.constData());
        QVERIFY(line.match(QString::fromUtf8(readFile(QDir(logs.path()).filePath("Kiv.log")))).hasMatch());
    }

    void continuesEarlierFile()
    {
        QTemporaryDir logs;
        const QString path = QDir(logs.path()).filePath("Kiv.log");
        writeFile(path, "earlier line\n");
        setupLogging(settingsFor(logs.path()), false);
        info("Kiv", QStringLiteral("later line"));
        const QByteArray text = readFile(path);
        QVERIFY2(text.startsWith("earlier line\n") && text.endsWith("later line\n"), text.constData());
    }

    void russianTextWithoutUtf8Locale()
    {
        std::setlocale(LC_ALL, "C");
        QTemporaryDir logs;
        setupLogging(settingsFor(logs.path()), false);
        info("Kiv", QStringLiteral("Нет устройств в конфигурации"));
        QVERIFY(readFile(QDir(logs.path()).filePath("Kiv.log"))
                    .endsWith(QStringLiteral("[Kiv] Нет устройств в конфигурации\n").toUtf8()));
    }

    // Said once on the console in our words, none of the library's lines.
    void unusableLogDirectory()
    {
        QTemporaryDir logs;
        writeFile(logs.filePath("blocker"), "not a directory");
        StdoutCapture errors(logs.filePath("stderr.txt"), 2);
        StdoutCapture capture(logs.filePath("stdout.txt"));
        setupLogging(settingsFor(logs.filePath("blocker/logs")), true);
        auto file = log4cxx::cast<kiv::DailyRollingFileAppender>(
            log4cxx::Logger::getRootLogger()->getAppender(LOG4CXX_STR("file")));
        QVERIFY(file);
        QVERIFY(!file->isActive());

        info("Kiv", QStringLiteral("still on the console"));
        info("Kiv", QStringLiteral("and again"));
        const QString out = QString::fromUtf8(capture.text());
        const QString said = QStringLiteral("cannot write %1/blocker/logs/Kiv.log: Not a directory; "
                                            "log lines go to the console only until it can")
                                 .arg(logs.path());
        QVERIFY2(QRegularExpression(QString(kLine).arg("ERROR", "Kiv\\.log", QRegularExpression::escape(said)))
                     .match(out)
                     .hasMatch(),
                 qPrintable(out));
        QCOMPARE(out.count(QStringLiteral("cannot write")), 1);
        QVERIFY(out.contains("still on the console") && out.contains("and again"));
        QCOMPARE(errors.text(), QByteArray());
    }

    // Many threads on several loggers at once, through the console, the
    // file and a debug log set up as the OFD worker does it: no line may be
    // mangled, lost or doubled.
    void concurrentLinesStayWhole()
    {
        QTemporaryDir logs;
        setupLogging(settingsFor(logs.path()), true);
        const log4cxx::LoggerPtr root = log4cxx::Logger::getRootLogger();
        log4cxx::helpers::Pool pool;
        auto debug = std::make_shared<kiv::DailyRollingFileAppender>(
            kiv::LogLayout::create(), QDir(logs.path()).filePath("Debug.log"),
            kiv::RollSchedule::datePatternString(kiv::RollSchedule::DAILY_ROLLOVER));
        debug->setName(LOG4CXX_STR("Debug.log"));
        debug->activateOptions(pool);
        QVERIFY(debug->isActive());

        // Even threads log on device loggers to Kiv.log, odd ones on debug
        // loggers to Debug.log; all reach the console.
        constexpr int kThreads = 8;
        std::vector<log4cxx::LoggerPtr> loggers;
        for (int t = 0; t < kThreads; ++t) {
            const std::string name = (t % 2 ? "Debug-s" : "USB-s") + std::to_string(t / 2);
            loggers.push_back(log4cxx::Logger::getLogger(name));
            if (t % 2) {
                loggers.back()->addAppender(debug);
                loggers.back()->addAppender(root->getAppender(LOG4CXX_STR("console")));
                loggers.back()->setAdditivity(false);
            }
        }

        std::vector<int> counts(kThreads, 0);
        {
            StdoutCapture capture(logs.filePath("stdout.txt"));
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, t] {
                    int n = 0;
                    do {
                        LOG4CXX_INFO(loggers[size_t(t)], "t" << t << " n" << n << ' ' << std::string(size_t(n % 40), 'x'));
                        ++n;
                    } while (std::chrono::steady_clock::now() < end || n < 100);
                    counts[size_t(t)] = n;
                });
            }
            for (std::thread &thread : threads)
                thread.join();
        }
        for (int t = 1; t < kThreads; t += 2) {
            loggers[size_t(t)]->removeAppender(debug);
            loggers[size_t(t)]->removeAppender(root->getAppender(LOG4CXX_STR("console")));
        }

        const QList<QPair<QString, QList<int>>> outputs{
            {"Kiv.log", {0, 2, 4, 6}}, {"Debug.log", {1, 3, 5, 7}}, {"stdout.txt", {0, 1, 2, 3, 4, 5, 6, 7}}};
        for (const auto &[name, threads] : outputs) {
            const QString wrong = checkStressLines(readFile(logs.filePath(name)), threads, counts);
            QVERIFY2(wrong.isEmpty(), qPrintable(name + ' ' + wrong));
        }
    }

    // Standard output that cannot be written: lines are dropped, the
    // failure reported once, and the first line that gets through again is
    // preceded by the count of those lost.
    void failingConsoleLosesLinesQuietly()
    {
        QTemporaryDir dir;
        auto console = std::make_shared<kiv::ConsoleAppender>();
        console->setLayout(std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%m%n")));
        console->setName(LOG4CXX_STR("console"));
        console->setRetryInterval(std::chrono::milliseconds(0));
        log4cxx::helpers::Pool pool;
        console->activateOptions(pool);
        const auto log = [&](const char *text) {
            console->doAppend(std::make_shared<log4cxx::spi::LoggingEvent>(
                                  LOG4CXX_STR("Kiv"), log4cxx::Level::getInfo(), LOG4CXX_STR(text),
                                  log4cxx::spi::LocationInfo::getLocationUnavailable()),
                              pool);
        };

        StdoutCapture errors(dir.filePath("stderr.txt"), 2);
        {
            StdoutCapture full(QStringLiteral("/dev/full"));
            log("lost 1");
            log("lost 2");
            log("lost 3");
        }
        StdoutCapture out(dir.filePath("stdout.txt"));
        log("back");
        log("again");
        const QByteArray text = out.text();
        const QString reported = QString::fromUtf8(errors.text());

        QCOMPARE(text, QByteArray("3 log lines lost while stdout could not be written: No space left on device\n"
                                  "back\nagain\n"));
        QCOMPARE(reported.count(QStringLiteral("Could not write to stdout for appender [console]")), 1);
        QVERIFY2(reported.contains(QStringLiteral("No space left on device")), qPrintable(reported));
    }

    // The stray file was a working configuration: had it been read, the
    // checks at start-up would have failed.
    void strayConfigurationWorksWhenAskedFor()
    {
        log4cxx::PropertyConfigurator::configure(m_work.filePath("log4cxx.properties").toStdString());
        info("Kiv", QStringLiteral("now configured"));
        QCOMPARE(readFile(m_strayLog), QByteArray("STRAY now configured\n"));
        log4cxx::LogManager::resetConfiguration();
    }
};

QTEST_GUILESS_MAIN(TestLogSetup)
#include "tst_logsetup.moc"
