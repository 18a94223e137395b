// The service's own log as a user finds it: Kiv.log in the log directory,
// the same lines on standard output with -e, and an older log archived at
// start-up.
#include "kivrun.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <zip.h>

namespace {

const char kStartLine[] =
    "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3} INFO  \\[Kiv\\] Start service Kiv \\(v8520\\)$";

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content, const QDateTime &modified = {})
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size()
        || !f.flush())
        return false;
    return !modified.isValid() || f.setFileTime(modified, QFileDevice::FileModificationTime);
}

// The single entry of an archive as "name\ncontent", or an error text.
QByteArray zipEntry(const QString &path)
{
    int error = 0;
    zip_t *archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!archive)
        return "<cannot open " + path.toUtf8() + ">";
    QByteArray result = "<not one entry>";
    zip_stat_t st;
    if (zip_get_num_entries(archive, 0) == 1 && zip_stat_index(archive, 0, 0, &st) == 0) {
        QByteArray content(qsizetype(st.size), '\0');
        zip_file_t *file = zip_fopen_index(archive, 0, 0);
        if (file && zip_fread(file, content.data(), st.size) == zip_int64_t(st.size))
            result = QByteArray(st.name) + '\n' + content;
        if (file)
            zip_fclose(file);
    }
    zip_discard(archive);
    return result;
}

bool matchesLine(const QStringList &lines, const QRegularExpression &re)
{
    for (const QString &line : lines) {
        if (re.match(line).hasMatch())
            return true;
    }
    return false;
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT
private slots:
    void olderLogArchivedAtStartUp()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString()));
        const QDir logs(kiv.logsDir());
        const QDateTime lastWritten = QDateTime(QDate::currentDate().addDays(-3), QTime(10, 0));
        const QString rolledName = "Kiv.log." + lastWritten.toString("yyyy-MM-dd");
        // Large enough that archiving outlasts the run, which must wait for it.
        QByteArray oldContent;
        for (int i = 0; oldContent.size() < 8 * 1024 * 1024; ++i)
            oldContent += "2026-01-01 10:00:00,000 INFO  [Kiv] Служба остановлена " + QByteArray::number(i) + '\n';
        QVERIFY(writeFile(logs.filePath("Kiv.log"), oldContent, lastWritten));
        QVERIFY(writeFile(logs.filePath("Kiv.log.keep"), "not ours"));

        QVERIFY(kiv.start({QStringLiteral("-e")}));
        QVERIFY2(kiv.waitForLine(QStringLiteral("No devices in config")), qPrintable(kiv.errorOutput()));
        QVERIFY(kiv.waitForExit() >= 0);

        // Archived before the process ended, under the day it was written.
        QCOMPARE(zipEntry(logs.filePath(rolledName + ".zip")), rolledName.toUtf8() + '\n' + oldContent);
        QStringList expected = {"Kiv.log", "Kiv.log.keep", rolledName + ".zip"};
        expected.sort();
        QCOMPARE(logs.entryList(QDir::Files, QDir::Name), expected);
        QCOMPARE(readFile(logs.filePath("Kiv.log.keep")), QByteArray("not ours"));

        const QRegularExpression start(QString::fromLatin1(kStartLine));
        const QStringList fileLines = QString::fromUtf8(readFile(logs.filePath("Kiv.log"))).split('\n');
        QVERIFY2(matchesLine(fileLines, start), qPrintable(fileLines.join('\n')));
        QVERIFY(!fileLines.join('\n').contains(QStringLiteral("остановлена")));
        QVERIFY2(matchesLine(kiv.outputLines(), start), qPrintable(kiv.output()));
    }

    void strayLogConfigurationIgnored()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(kiv.writeSettingsBody(QString()));
        const QString strayLog = kiv.filePath("stray.log");
        const QByteArray stray = "log4j.rootLogger=TRACE, stray\n"
                                 "log4j.appender.stray=org.apache.log4j.FileAppender\n"
                                 "log4j.appender.stray.File=" + QFile::encodeName(strayLog) + "\n"
                                 "log4j.appender.stray.layout=org.apache.log4j.PatternLayout\n"
                                 "log4j.appender.stray.layout.ConversionPattern=STRAY %m%n\n";
        QVERIFY(writeFile(kiv.filePath("log4cxx.properties"), stray));
        QVERIFY(writeFile(kiv.filePath("log4j.properties"), stray));

        QVERIFY(kiv.start({QStringLiteral("-e")}));
        QVERIFY(kiv.waitForLine(QStringLiteral("No devices in config")));
        QVERIFY(kiv.waitForExit() >= 0);

        QVERIFY(!QFile::exists(strayLog));
        QVERIFY(!kiv.output().contains(QStringLiteral("STRAY")));
        const QRegularExpression start(QString::fromLatin1(kStartLine));
        QVERIFY2(matchesLine(kiv.outputLines(), start), qPrintable(kiv.output()));
        QVERIFY(matchesLine(QString::fromUtf8(readFile(QDir(kiv.logsDir()).filePath("Kiv.log"))).split('\n'),
                            start));
    }

    void unusableLogDirectoryReportedOnce()
    {
        KivRun kiv;
        QVERIFY(kiv.isValid());
        QVERIFY(writeFile(kiv.filePath("blocker"), "a file, not a directory"));
        QString settings = kiv.settingsXml(QString());
        settings.replace(kiv.logsDir(), kiv.filePath("blocker/logs"));
        QVERIFY(kiv.writeSettings(settings));

        QVERIFY(kiv.start({QStringLiteral("-e")}));
        QVERIFY(kiv.waitForLine(QStringLiteral("No devices in config")));
        QVERIFY(kiv.waitForExit() >= 0);

        QVERIFY(matchesLine(kiv.outputLines(), QRegularExpression(QString::fromLatin1(kStartLine))));
        // Said once, in our words, on the console; nothing from the library.
        QCOMPARE(kiv.countLines(QStringLiteral("ERROR [Kiv.log] cannot write %1: Not a directory; log lines "
                                               "go to the console only until it can")
                                    .arg(kiv.filePath("blocker/logs/Kiv.log"))),
                 1);
        QCOMPARE(kiv.errorOutput(), QString());
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
