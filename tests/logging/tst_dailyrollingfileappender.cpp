#include <log4cxx/helpers/loglog.h>

#include "logging/dailyrollingfileappender.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <log4cxx/patternlayout.h>
#include <log4cxx/spi/errorhandler.h>
#include <log4cxx/spi/location/locationinfo.h>
#include <log4cxx/spi/loggingevent.h>

#include <zip.h>

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <memory>

using kiv::DailyRollingFileAppender;
using kiv::DailyRollingFileAppenderPtr;
using kiv::LogArchiver;
using kiv::RollSchedule;

namespace {

struct Report
{
    QString message;
    int code;
    QString cause;
};

// Collects what the appender reports instead of printing it once.
class RecordingErrorHandler : public virtual log4cxx::spi::ErrorHandler,
                              public virtual log4cxx::helpers::Object
{
public:
    const log4cxx::helpers::Class &getClass() const override
    {
        return log4cxx::spi::ErrorHandler::getStaticClass();
    }
    const void *cast(const log4cxx::helpers::Class &clazz) const override
    {
        if (&clazz == &log4cxx::spi::ErrorHandler::getStaticClass())
            return static_cast<const log4cxx::spi::ErrorHandler *>(this);
        return nullptr;
    }
    bool instanceof(const log4cxx::helpers::Class &clazz) const override
    {
        return cast(clazz) != nullptr;
    }
    void activateOptions(log4cxx::helpers::Pool &) override {}
    void setOption(const log4cxx::LogString &, const log4cxx::LogString &) override {}
    void setLogger(const log4cxx::LoggerPtr &) override {}
    void setAppender(const log4cxx::AppenderPtr &) override {}
    void setBackupAppender(const log4cxx::AppenderPtr &) override {}
    void error(const log4cxx::LogString &message, const std::exception &e, int code) const override
    {
        reports.append({QString::fromStdString(message), code, QString::fromLocal8Bit(e.what())});
    }
    void error(const log4cxx::LogString &message, const std::exception &e, int code,
               const log4cxx::spi::LoggingEventPtr &) const override
    {
        error(message, e, code);
    }
    void error(const log4cxx::LogString &message) const override
    {
        reports.append({QString::fromStdString(message), -1, QString()});
    }

    int count(int code) const
    {
        int n = 0;
        for (const Report &r : reports)
            n += r.code == code ? 1 : 0;
        return n;
    }

    mutable QList<Report> reports;
};

struct ZipEntry
{
    QString name;
    QByteArray content;
    quint16 method = 0;
    quint8 opsys = 0;
    quint32 attributes = 0;
    time_t mtime = 0;
};

// Every entry of a ZIP archive, read back with libzip; fails the test on
// any error.
QList<ZipEntry> readZip(const QString &path, bool *ok)
{
    *ok = false;
    QList<ZipEntry> entries;
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!archive)
        return entries;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(archive, zip_uint64_t(i), 0, &st) != 0)
            return entries;
        ZipEntry entry;
        entry.name = QString::fromUtf8(st.name);
        entry.method = st.comp_method;
        entry.mtime = st.mtime;
        zip_file_get_external_attributes(archive, zip_uint64_t(i), 0, &entry.opsys, &entry.attributes);
        zip_file_t *file = zip_fopen_index(archive, zip_uint64_t(i), 0);
        if (!file)
            return entries;
        entry.content.resize(qsizetype(st.size));
        const zip_int64_t n = zip_fread(file, entry.content.data(), st.size);
        zip_fclose(file);
        if (n != zip_int64_t(st.size))
            return entries;
        entries.append(entry);
    }
    zip_close(archive);
    *ok = true;
    return entries;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &content, const QDateTime &modified)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), content.size());
    QVERIFY(f.flush());
    QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
}

void setModified(const QString &path, const QDateTime &modified)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.setFileTime(modified, QFileDevice::FileModificationTime));
}

QStringList directory(const QString &path)
{
    QStringList names = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.sort();
    return names;
}

QDateTime at(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODate);
}

// Points file descriptor 2 at a file for as long as it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        FILE *f = std::fopen(QFile::encodeName(path).constData(), "w");
        ::dup2(::fileno(f), 2);
        std::fclose(f);
    }
    ~StderrCapture() { restore(); }
    QString text()
    {
        restore();
        return QString::fromUtf8(readFile(m_path));
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};

} // namespace

class TestDailyRollingFileAppender : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir *m_dir = nullptr;
    QDateTime m_now;
    std::shared_ptr<RecordingErrorHandler> m_errors;
    log4cxx::helpers::Pool m_pool;

    QString logPath() const { return m_dir->filePath(QStringLiteral("Kiv.log")); }

    DailyRollingFileAppenderPtr retryingAppender(std::chrono::milliseconds retry)
    {
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->setRetryInterval(retry);
        appender->activateOptions(m_pool);
        return appender;
    }

    DailyRollingFileAppenderPtr makeAppender(const QString &pattern, int maxBackupIndex = 14,
                                             bool zip = true)
    {
        auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%m%n"));
        auto appender = std::make_shared<DailyRollingFileAppender>(layout, logPath(), pattern);
        appender->setName(LOG4CXX_STR("test"));
        appender->setMaxBackupIndex(maxBackupIndex);
        appender->setZip(zip);
        appender->setClock([this] { return m_now; });
        appender->setErrorHandler(m_errors);
        return appender;
    }

    void log(const DailyRollingFileAppenderPtr &appender, const QString &message)
    {
        auto event = std::make_shared<log4cxx::spi::LoggingEvent>(
            LOG4CXX_STR("Test"), log4cxx::Level::getInfo(), message.toStdString(),
            log4cxx::spi::LocationInfo::getLocationUnavailable());
        appender->doAppend(event, m_pool);
    }

    QByteArray archived(const QString &archive, const QString &entryName)
    {
        bool ok = false;
        const QList<ZipEntry> entries = readZip(m_dir->filePath(archive), &ok);
        if (!ok || entries.size() != 1 || entries.first().name != entryName)
            return QByteArray("<bad archive ") + archive.toUtf8() + ">";
        return entries.first().content;
    }

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_errors = std::make_shared<RecordingErrorHandler>();
        m_now = at(QStringLiteral("2026-12-07T10:00:00"));
    }

    void cleanup()
    {
        delete m_dir;
        m_dir = nullptr;
    }

    void enumeratedPatterns()
    {
        const QStringList expected = {
            "'.'yyyy-MM-dd-hh-mm", "'.'yyyy-MM-dd-hh", "'.'yyyy-MM-dd-a",
            "'.'yyyy-MM-dd", "'.'yyyy-ww", "'.'yyyy-MM"};
        DailyRollingFileAppender appender;
        QCOMPARE(appender.datePattern(), expected.at(DailyRollingFileAppender::DAILY_ROLLOVER));
        QCOMPARE(appender.maxBackupIndex(), 1);
        for (int i = 0; i < expected.size(); ++i) {
            appender.setDatePattern(DailyRollingFileAppender::DatePattern(i));
            QCOMPARE(appender.datePattern(), expected.at(i));
        }
        appender.setDatePattern(DailyRollingFileAppender::DatePattern(6));
        QCOMPARE(appender.datePattern(), expected.at(DailyRollingFileAppender::DAILY_ROLLOVER));
        appender.setDatePattern(DailyRollingFileAppender::DatePattern(7));
        QCOMPARE(appender.datePattern(), expected.at(DailyRollingFileAppender::DAILY_ROLLOVER));
    }

    void rollsOverAndArchives()
    {
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->activateOptions(m_pool);
        QVERIFY(appender->isActive());
        log(appender, QStringLiteral("first day"));
        QVERIFY(QFile::setPermissions(logPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));

        m_now = at(QStringLiteral("2026-12-07T23:59:59"));
        log(appender, QStringLiteral("still the first day"));
        m_now = at(QStringLiteral("2026-12-08T00:00:00"));
        const QByteArray big = QByteArray("second day ").repeated(20);
        log(appender, QString::fromLatin1(big));
        m_now = at(QStringLiteral("2026-12-09T00:00:01"));
        log(appender, QStringLiteral("third day"));
        const time_t archivedAfter = std::time(nullptr);
        appender->waitForArchives();

        QCOMPARE(directory(m_dir->path()),
                 QStringList({"Kiv.log", "Kiv.log.2026-12-07.zip", "Kiv.log.2026-12-08.zip"}));
        QCOMPARE(readFile(logPath()), QByteArray("third day\n"));

        bool ok = false;
        QList<ZipEntry> entries = readZip(m_dir->filePath("Kiv.log.2026-12-07.zip"), &ok);
        QVERIFY(ok);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].name, QStringLiteral("Kiv.log.2026-12-07"));
        QCOMPARE(entries[0].content, QByteArray("first day\nstill the first day\n"));
        QCOMPARE(entries[0].method, quint16(ZIP_CM_STORE)); // under 64 bytes
        QCOMPARE(entries[0].opsys, quint8(ZIP_OPSYS_UNIX));
        QCOMPARE(entries[0].attributes >> 16, quint32(S_IFREG | 0640));
        // Stamped with the time of archiving, not the appender's clock.
        QVERIFY(qAbs(entries[0].mtime - archivedAfter) < 120);

        entries = readZip(m_dir->filePath("Kiv.log.2026-12-08.zip"), &ok);
        QVERIFY(ok);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].content, big + '\n');
        QCOMPARE(entries[0].method, quint16(ZIP_CM_DEFLATE));
    }

    void keepsRolledFilesWithoutZip()
    {
        auto appender = makeAppender(RollSchedule::datePatternString(
                                         DailyRollingFileAppender::HOURLY_ROLLOVER),
                                     14, false);
        appender->activateOptions(m_pool);
        log(appender, QStringLiteral("ten"));
        m_now = at(QStringLiteral("2026-12-07T11:00:00"));
        log(appender, QStringLiteral("eleven"));
        appender->waitForArchives();
        QCOMPARE(directory(m_dir->path()), QStringList({"Kiv.log", "Kiv.log.2026-12-07-10"}));
        QCOMPARE(readFile(m_dir->filePath("Kiv.log.2026-12-07-10")), QByteArray("ten\n"));
        QCOMPARE(readFile(logPath()), QByteArray("eleven\n"));
    }

    void writesUtf8InAnyLocale()
    {
        const QByteArray previous = std::setlocale(LC_CTYPE, nullptr);
        std::setlocale(LC_CTYPE, "C");
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->activateOptions(m_pool);
        log(appender, QStringLiteral("Служба запущена"));
        std::setlocale(LC_CTYPE, previous.constData());
        QCOMPARE(readFile(logPath()), QStringLiteral("Служба запущена\n").toUtf8());
    }

    void prunesOnlyRolledFiles_data()
    {
        QTest::addColumn<int>("maxBackupIndex");
        QTest::addColumn<int>("kept");
        QTest::newRow("14") << 14 << 14;
        QTest::newRow("1") << 1 << 1;
        QTest::newRow("0") << 0 << 1;
        QTest::newRow("negative") << -5 << 1;
    }

    void prunesOnlyRolledFiles()
    {
        QFETCH(int, maxBackupIndex);
        QFETCH(int, kept);

        const QDateTime old = at(QStringLiteral("2020-01-01T00:00:00"));
        const QStringList strangers = {"Kiv.log.bak", "Kiv.log.2026-11-01.txt", "Kiv.log.old.zip",
                                       "Other.log.2026-11-01", "XKiv.log.2026-11-01",
                                       "Kiv.log.2026-11-1", "Kiv.log.2026-11-01.zip.part"};
        for (const QString &name : strangers)
            writeFile(m_dir->filePath(name), "keep", old);
        QVERIFY(QDir(m_dir->path()).mkdir("Kiv.log.2026-10-31"));
        // An earlier rolled file is the oldest of the list and goes first.
        writeFile(m_dir->filePath("Kiv.log.2026-11-30.zip"), "old archive", old);

        auto appender = makeAppender(RollSchedule::datePatternString(
                                         DailyRollingFileAppender::DAILY_ROLLOVER),
                                     maxBackupIndex);
        m_now = at(QStringLiteral("2026-12-01T12:00:00"));
        appender->activateOptions(m_pool);
        for (int day = 0; day < 20; ++day) {
            m_now = at(QStringLiteral("2026-12-01T12:00:00")).addDays(day);
            log(appender, QStringLiteral("day %1").arg(day));
            appender->waitForArchives();
        }

        QStringList expected = strangers;
        expected << "Kiv.log" << "Kiv.log.2026-10-31";
        for (int day = 19 - kept; day < 19; ++day) {
            expected << QStringLiteral("Kiv.log.%1.zip")
                            .arg(at(QStringLiteral("2026-12-01T00:00:00")).addDays(day).toString("yyyy-MM-dd"));
        }
        expected.sort();
        QCOMPARE(directory(m_dir->path()), expected);
        for (const QString &name : strangers)
            QCOMPARE(readFile(m_dir->filePath(name)), QByteArray("keep"));
        QCOMPARE(archived("Kiv.log.2026-12-19.zip", "Kiv.log.2026-12-19"), QByteArray("day 18\n"));
        QCOMPARE(readFile(logPath()), QByteArray("day 19\n"));
    }

    // Two simulated days, a stop and a restart days later: every line of
    // every earlier file survives in an archive of its own.
    void startUpRollOverKeepsOlderLog()
    {
        const QString daily = RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER);
        m_now = at(QStringLiteral("2026-12-01T10:00:00"));
        {
            auto appender = makeAppender(daily);
            appender->activateOptions(m_pool);
            log(appender, QStringLiteral("monday"));
            m_now = at(QStringLiteral("2026-12-02T08:00:00"));
            log(appender, QStringLiteral("tuesday"));
        }
        setModified(logPath(), at(QStringLiteral("2026-12-02T08:00:00")));

        // A restart on the same day continues the file.
        m_now = at(QStringLiteral("2026-12-02T20:00:00"));
        {
            auto appender = makeAppender(daily);
            appender->activateOptions(m_pool);
            log(appender, QStringLiteral("tuesday evening"));
        }
        QCOMPARE(readFile(logPath()), QByteArray("tuesday\ntuesday evening\n"));
        setModified(logPath(), at(QStringLiteral("2026-12-02T20:00:00")));

        // Restarted on Friday, running into Saturday.
        m_now = at(QStringLiteral("2026-12-04T09:00:00"));
        auto appender = makeAppender(daily);
        appender->activateOptions(m_pool);
        QCOMPARE(readFile(logPath()), QByteArray());
        log(appender, QStringLiteral("friday"));
        m_now = at(QStringLiteral("2026-12-05T00:00:05"));
        log(appender, QStringLiteral("saturday"));
        appender->waitForArchives();

        QCOMPARE(directory(m_dir->path()),
                 QStringList({"Kiv.log", "Kiv.log.2026-12-01.zip", "Kiv.log.2026-12-02.zip",
                              "Kiv.log.2026-12-04.zip"}));
        QCOMPARE(archived("Kiv.log.2026-12-01.zip", "Kiv.log.2026-12-01"), QByteArray("monday\n"));
        QCOMPARE(archived("Kiv.log.2026-12-02.zip", "Kiv.log.2026-12-02"),
                 QByteArray("tuesday\ntuesday evening\n"));
        QCOMPARE(archived("Kiv.log.2026-12-04.zip", "Kiv.log.2026-12-04"), QByteArray("friday\n"));
        QCOMPARE(readFile(logPath()), QByteArray("saturday\n"));
        QVERIFY(m_errors->reports.isEmpty());
    }

    void startUpRollOverNeverReplacesAnArchive()
    {
        const QDateTime monday = at(QStringLiteral("2026-12-07T09:00:00"));
        writeFile(m_dir->filePath("Kiv.log.2026-12-07.zip"), "earlier archive", monday);
        writeFile(logPath(), "monday again\n", monday);
        // An empty file has nothing to keep.
        writeFile(m_dir->filePath("Debug.log"), "", monday);

        m_now = at(QStringLiteral("2026-12-08T09:00:00"));
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->activateOptions(m_pool);
        auto debug = std::make_shared<DailyRollingFileAppender>(
            appender->getLayout(), m_dir->filePath("Debug.log"), appender->datePattern());
        debug->setZip(true);
        debug->setClock([this] { return m_now; });
        debug->activateOptions(m_pool);
        appender->waitForArchives();
        debug->waitForArchives();

        QCOMPARE(directory(m_dir->path()),
                 QStringList({"Debug.log", "Kiv.log", "Kiv.log.2026-12-07.1.zip",
                              "Kiv.log.2026-12-07.zip"}));
        QCOMPARE(readFile(m_dir->filePath("Kiv.log.2026-12-07.zip")), QByteArray("earlier archive"));
        QCOMPARE(archived("Kiv.log.2026-12-07.1.zip", "Kiv.log.2026-12-07.1"),
                 QByteArray("monday again\n"));
    }

    // Two devices' debug logs go to one file, each through its own appender.
    void appendersSharingAFileRollOverOnce()
    {
        auto first = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        auto second = makeAppender(first->datePattern());
        first->activateOptions(m_pool);
        second->activateOptions(m_pool);
        log(first, QStringLiteral("first, day one"));
        log(second, QStringLiteral("second, day one"));

        m_now = m_now.addDays(1);
        log(first, QStringLiteral("first, day two"));
        log(second, QStringLiteral("second, day two"));
        log(first, QStringLiteral("first again"));
        first->waitForArchives();
        second->waitForArchives();

        QCOMPARE(directory(m_dir->path()), QStringList({"Kiv.log", "Kiv.log.2026-12-07.zip"}));
        QCOMPARE(archived("Kiv.log.2026-12-07.zip", "Kiv.log.2026-12-07"),
                 QByteArray("first, day one\nsecond, day one\n"));
        QCOMPARE(readFile(logPath()), QByteArray("first, day two\nsecond, day two\nfirst again\n"));
        QVERIFY(m_errors->reports.isEmpty());
    }

    void invalidPatternLeavesAppenderInactive()
    {
        auto appender = makeAppender(QStringLiteral("'.'yyyy"));
        appender->activateOptions(m_pool);
        QVERIFY(!appender->isActive());
        QCOMPARE(m_errors->count(DailyRollingFileAppender::APPENDER_INVALID_PATTERN_ERROR), 1);
        QCOMPARE(m_errors->reports.first().message,
                 QStringLiteral("The pattern ''.'yyyy' does not specify a frequency for appender 'test'"));
        QVERIFY(!QFile::exists(logPath()));

        log(appender, QStringLiteral("one"));
        log(appender, QStringLiteral("two"));
        QVERIFY(!QFile::exists(logPath()));
        // Refused as never activated, and said so once.
        QCOMPARE(m_errors->reports.size(), 2);
        QCOMPARE(m_errors->reports.last().message,
                 QStringLiteral("No output stream or file set for the appender named [test]."));
    }

    void activeAppenderLosingItsPatternDropsEvents()
    {
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->activateOptions(m_pool);
        log(appender, QStringLiteral("kept"));
        appender->setDatePattern(QStringLiteral("'.'yyyy"));
        appender->activateOptions(m_pool);
        QVERIFY(appender->isActive());
        QCOMPARE(appender->activeDatePattern(), QString());
        log(appender, QStringLiteral("dropped"));
        log(appender, QStringLiteral("dropped too"));
        QCOMPARE(readFile(logPath()), QByteArray("kept\n"));
        QCOMPARE(m_errors->count(DailyRollingFileAppender::APPENDER_USE_INVALID_PATTERN_ERROR), 2);
        QCOMPARE(m_errors->reports.last().message,
                 QStringLiteral("Use of appender 'test' without having a valid date pattern set"));
    }

    void unusableDirectoryIsReportedOnce()
    {
        writeFile(m_dir->filePath("blocker"), "a file where a directory should be",
                  QDateTime::currentDateTime());
        auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%m%n"));
        auto appender = std::make_shared<DailyRollingFileAppender>(
            layout, m_dir->filePath("blocker/logs/Kiv.log"), QStringLiteral("'.'yyyy-MM-dd"));
        appender->setName(LOG4CXX_STR("file"));
        appender->setClock([this] { return m_now; });

        // The library's own error output: one report, however many events.
        StderrCapture capture(m_dir->filePath("stderr.txt"));
        appender->activateOptions(m_pool);
        for (int i = 0; i < 5; ++i)
            log(appender, QStringLiteral("lost"));
        m_now = m_now.addDays(1);
        log(appender, QStringLiteral("lost on the next day"));
        const QString output = capture.text();

        QVERIFY(!appender->isActive());
        QCOMPARE(output.count(QStringLiteral("log4cxx: ")), 2); // the message and its cause
        QVERIFY2(output.contains(QStringLiteral("blocker/logs/Kiv.log")), qPrintable(output));
    }

    // Fails for root too: one ERROR in our words, none of the library's
    // lines, and the file is taken up again once it can be written.
    void unwritableFileIsSaidOnceAndTakenUpAgain_data()
    {
        QTest::addColumn<bool>("directory");
        QTest::addColumn<QString>("cause");
        QTest::newRow("directory in its place") << true << "Is a directory";
        QTest::newRow("full disk") << false << "No space left on device";
    }

    void unwritableFileIsSaidOnceAndTakenUpAgain()
    {
        QFETCH(bool, directory);
        QFETCH(QString, cause);
        QVERIFY(directory ? QDir(m_dir->path()).mkdir("Kiv.log")
                          : QFile::link(QStringLiteral("/dev/full"), logPath()));
        auto report = std::make_shared<DailyRollingFileAppender>(
            std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%p [%c] %m%n")),
            m_dir->filePath("report.txt"), RollSchedule::datePatternString(RollSchedule::DAILY_ROLLOVER));
        report->activateOptions(m_pool);
        auto appender = makeAppender(report->datePattern());
        appender->setRetryInterval(std::chrono::milliseconds(0));
        kiv::LostLines::reportFailuresTo(report, QStringLiteral("the journal"));
        const auto reset = qScopeGuard([] { kiv::LostLines::reportFailuresTo(nullptr, QString()); });

        StderrCapture capture(m_dir->filePath("stderr.txt"));
        appender->activateOptions(m_pool);
        log(appender, QStringLiteral("lost"));
        log(appender, QStringLiteral("lost too"));
        QVERIFY(directory ? QDir(m_dir->path()).rmdir("Kiv.log") : QFile::remove(logPath()));
        log(appender, QStringLiteral("back"));

        QCOMPARE(QString::fromUtf8(readFile(m_dir->filePath("report.txt"))),
                 QStringLiteral("ERROR [Kiv.log] cannot write %1: %2; log lines go to the journal only "
                                "until it can\n")
                     .arg(logPath(), cause));
        QCOMPARE(QString::fromUtf8(readFile(logPath())),
                 QStringLiteral("2 log lines lost while Kiv.log could not be written: %1\nback\n").arg(cause));
        QCOMPARE(capture.text(), QString());
        QVERIFY(m_errors->reports.isEmpty());
    }

    void lostFileIsStartedAgain()
    {
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->activateOptions(m_pool);
        log(appender, QStringLiteral("gone"));
        QVERIFY(QFile::remove(logPath()));
        m_now = m_now.addDays(1);
        log(appender, QStringLiteral("next day"));
        log(appender, QStringLiteral("more"));
        QCOMPARE(readFile(logPath()), QByteArray("next day\nmore\n"));
        QCOMPARE(m_errors->count(log4cxx::spi::ErrorCode::GENERIC_FAILURE), 1);
    }

    // A full disk (a name leading to /dev/full): logging goes on, the
    // failure is reported once, lines are dropped, and once the name leads
    // to a writable file the first line is preceded by the count of those
    // lost, on a line of its own even if the file ended mid-line.
    void fullDiskLosesLinesAndRecovers()
    {
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), logPath()));
        auto appender = retryingAppender(std::chrono::milliseconds(0));
        QVERIFY(appender->isActive());
        log(appender, QStringLiteral("lost"));
        log(appender, QStringLiteral("lost too"));
        QCOMPARE(m_errors->reports.size(), 1);
        const Report report = m_errors->reports.first();
        QCOMPARE(report.code, int(log4cxx::spi::ErrorCode::WRITE_FAILURE));
        QVERIFY2(report.message.contains(logPath()), qPrintable(report.message));
        QVERIFY2(report.cause.contains(QStringLiteral("No space left on device")), qPrintable(report.cause));

        QVERIFY(QFile::remove(logPath()));
        writeFile(logPath(), "cut off", m_now);
        log(appender, QStringLiteral("back"));
        log(appender, QStringLiteral("again"));
        const QByteArray text = readFile(logPath());
        QVERIFY2(text.startsWith("cut off\n2 log lines lost while Kiv.log could not be written: ")
                     && text.contains("No space left on device") && text.endsWith("\nback\nagain\n")
                     && text.count('\n') == 4,
                 text.constData());
        QCOMPARE(m_errors->reports.size(), 1);
    }

    // Retries come no sooner than the interval: until then lines are
    // dropped without touching the file.
    void failedFileIsRetriedOnlyAfterTheInterval()
    {
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), logPath()));
        auto appender = retryingAppender(std::chrono::hours(1));
        log(appender, QStringLiteral("lost"));
        QVERIFY(QFile::remove(logPath()));
        log(appender, QStringLiteral("dropped"));
        log(appender, QStringLiteral("dropped too"));
        QVERIFY(!QFile::exists(logPath()));
        QCOMPARE(m_errors->count(log4cxx::spi::ErrorCode::WRITE_FAILURE), 1);
    }

    // Writing to a removed file would succeed into nothing anyone can read.
    void removedFileIsStartedAgain()
    {
        auto appender = retryingAppender(std::chrono::milliseconds(0));
        log(appender, QStringLiteral("before"));
        QVERIFY(QFile::remove(logPath()));
        log(appender, QStringLiteral("after"));
        QCOMPARE(readFile(logPath()), QByteArray("after\n"));
        QVERIFY(m_errors->reports.isEmpty());
    }

    void destructorWaitsForArchive()
    {
        // Large enough that compressing it takes a while.
        QByteArray content;
        for (int i = 0; content.size() < 16 * 1024 * 1024; ++i)
            content += QByteArray::number(i * 2654435761u, 16) + " some log line text\n";
        writeFile(logPath(), content, at(QStringLiteral("2026-12-06T12:00:00")));

        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::DAILY_ROLLOVER));
        appender->activateOptions(m_pool);
        appender.reset();

        QCOMPARE(directory(m_dir->path()), QStringList({"Kiv.log", "Kiv.log.2026-12-06.zip"}));
        QVERIFY(archived("Kiv.log.2026-12-06.zip", "Kiv.log.2026-12-06") == content);
    }

    void failedArchiveKeepsRolledFile()
    {
        const QString rolled = m_dir->filePath("Kiv.log.2026-12-06");
        writeFile(rolled, "rolled content\n", m_now);

        // Vanished source: nothing is created.
        QVERIFY(!LogArchiver::zipFile(m_dir->filePath("Kiv.log.2026-12-05")));
        QVERIFY(!QFile::exists(m_dir->filePath("Kiv.log.2026-12-05.zip")));

        // The archive cannot be written where a directory stands.
        QVERIFY(QDir(m_dir->path()).mkdir("Kiv.log.2026-12-06.zip"));
        QVERIFY(!LogArchiver::zipFile(rolled));
        QCOMPARE(readFile(rolled), QByteArray("rolled content\n"));
        QVERIFY(QFileInfo(m_dir->filePath("Kiv.log.2026-12-06.zip")).isDir());

        QVERIFY(QDir(m_dir->path()).rmdir("Kiv.log.2026-12-06.zip"));
        QVERIFY(LogArchiver::zipFile(rolled));
        QVERIFY(!QFile::exists(rolled));
        QCOMPARE(archived("Kiv.log.2026-12-06.zip", "Kiv.log.2026-12-06"),
                 QByteArray("rolled content\n"));
    }

    void describesItself()
    {
        auto appender = makeAppender(RollSchedule::datePatternString(
            DailyRollingFileAppender::WEEKLY_ROLLOVER));
        appender->activateOptions(m_pool);
        const QString text = appender->description();
        const QStringList keys = {"name:", "activedatepattern:", "appendfile:", "bufferedio:",
                                  "datepattern:", "encoding:", "frequency:", "file:", "filter:",
                                  "immediateflush:", "isactive:", "isclosed:", "layout:",
                                  "referencecount:", "rollovertime:", "threshold:", "writer:"};
        QVERIFY(text.startsWith("DailyRollingFileAppender(name:\"test\" "));
        QVERIFY(text.endsWith(")"));
        int position = 0;
        for (const QString &key : keys) {
            const int found = text.indexOf(QRegularExpression("[( ]" + key), position);
            QVERIFY2(found >= position, qPrintable(key + " in " + text));
            position = found + 1;
        }
        QVERIFY(text.contains(" frequency:WEEKLY_ROLLOVER "));
        QVERIFY(text.contains(" isactive:true isclosed:false "));
        QVERIFY(text.contains(" rollovertime:2026-12-13T00:00:00 "));
        QCOMPARE(QString::fromStdString(appender->getClass().getName()),
                 QStringLiteral("kiv::DailyRollingFileAppender"));
        QVERIFY(log4cxx::cast<log4cxx::FileAppender>(log4cxx::AppenderPtr(appender)));
        QVERIFY(log4cxx::cast<DailyRollingFileAppender>(log4cxx::AppenderPtr(appender)));
    }
};

QTEST_GUILESS_MAIN(TestDailyRollingFileAppender)
#include "tst_dailyrollingfileappender.moc"
