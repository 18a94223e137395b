#include "logging/dailyrollingfileappender.h"
#include "service/logsetup.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <log4cxx/consoleappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/propertyconfigurator.h>

#include <unistd.h>

#include <clocale>
#include <cstdio>

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

// Standard output goes to a file while the capture lives.
class StdoutCapture
{
public:
    explicit StdoutCapture(const QString &path) : m_path(path)
    {
        std::fflush(stdout);
        m_saved = ::dup(1);
        FILE *f = std::fopen(QFile::encodeName(path).constData(), "w");
        ::dup2(::fileno(f), 1);
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
        ::dup2(m_saved, 1);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};

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

    void consoleAndFileShareTheLayout()
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
        QCOMPARE(console->getLayout(), file->getLayout());

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

    void unusableLogDirectory()
    {
        QTemporaryDir logs;
        writeFile(logs.filePath("blocker"), "not a directory");
        setupLogging(settingsFor(logs.filePath("blocker/logs")), true);
        auto file = log4cxx::cast<kiv::DailyRollingFileAppender>(
            log4cxx::Logger::getRootLogger()->getAppender(LOG4CXX_STR("file")));
        QVERIFY(file);
        QVERIFY(!file->isActive());

        StdoutCapture capture(logs.filePath("stdout.txt"));
        info("Kiv", QStringLiteral("still on the console"));
        QVERIFY(capture.text().contains("still on the console"));
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
