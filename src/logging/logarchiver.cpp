// Before any Qt header: LogLog declares a member named like Qt's "emit" macro.
#include <log4cxx/helpers/loglog.h>

#include "logging/logarchiver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <zip.h>

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <exception>

using log4cxx::helpers::LogLog;

namespace kiv {

namespace {

// Rolled files of this size or larger are deflated, smaller ones stored.
constexpr qint64 kDeflateThreshold = 64;

QString zipErrorText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const QString text = QString::fromUtf8(zip_error_strerror(&error));
    zip_error_fini(&error);
    return text;
}

void archiveFailed(const QString &name, const QString &cause)
{
    LogLog::warn(QStringLiteral("Could not archive '%1', keeping it uncompressed: %2")
                     .arg(name, cause)
                     .toStdString());
}

} // namespace

void LogArchiver::start(const QString &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tasks.erase(std::remove_if(m_tasks.begin(), m_tasks.end(),
                                 [](const QFuture<bool> &f) { return f.isFinished(); }),
                  m_tasks.end());
    // An exception kept in the future would be thrown again by waitForAll.
    m_tasks.append(QtConcurrent::run(QThreadPool::globalInstance(), [name] {
        try {
            return zipFile(name);
        } catch (const std::exception &e) {
            archiveFailed(name, QString::fromLocal8Bit(e.what()));
        } catch (...) {
            archiveFailed(name, QStringLiteral("unknown error"));
        }
        return false;
    }));
}

void LogArchiver::waitForAll()
{
    QList<QFuture<bool>> tasks;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        tasks = m_tasks;
    }
    // Outside the lock: rolling goes on while the archives are written.
    for (QFuture<bool> &task : tasks)
        task.waitForFinished();
}

bool LogArchiver::zipFile(const QString &name)
{
    const QFileInfo info(name);
    const QString archiveName = info.absoluteFilePath() + QStringLiteral(".zip");
    const QByteArray path = QFile::encodeName(info.absoluteFilePath());

    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        archiveFailed(name, QStringLiteral("not a readable regular file"));
        return false;
    }
    QFile source(name);
    if (!source.open(QIODevice::ReadOnly)) {
        archiveFailed(name, source.errorString());
        return false;
    }
    source.close();

    int openError = 0;
    zip_t *archive = zip_open(QFile::encodeName(archiveName).constData(),
                              ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!archive) {
        archiveFailed(name, zipErrorText(openError));
        return false;
    }

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *content = zip_source_file_create(path.constData(), 0, -1, &error);
    if (!content) {
        archiveFailed(name, QString::fromUtf8(zip_error_strerror(&error)));
        zip_error_fini(&error);
        zip_discard(archive);
        return false;
    }
    zip_error_fini(&error);

    const zip_int64_t index = zip_file_add(archive, info.fileName().toUtf8().constData(), content,
                                           ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(content);
        archiveFailed(name, QString::fromUtf8(zip_strerror(archive)));
        zip_discard(archive);
        return false;
    }
    const auto entry = zip_uint64_t(index);
    if (zip_set_file_compression(archive, entry,
                                 st.st_size < kDeflateThreshold ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0) != 0
        || zip_file_set_external_attributes(archive, entry, 0, ZIP_OPSYS_UNIX,
                                            zip_uint32_t(st.st_mode & 0xFFFF) << 16) != 0
        || zip_file_set_mtime(archive, entry, std::time(nullptr), 0) != 0) {
        archiveFailed(name, QString::fromUtf8(zip_strerror(archive)));
        zip_discard(archive);
        return false;
    }

    // Most failures (a vanished directory or source) only show here.
    if (zip_close(archive) != 0) {
        archiveFailed(name, QString::fromUtf8(zip_strerror(archive)));
        zip_discard(archive);
        return false;
    }

    QFile rolled(name);
    if (!rolled.remove()) {
        LogLog::warn(QStringLiteral("Could not remove archived file '%1': %2")
                         .arg(name, rolled.errorString())
                         .toStdString());
    }
    return true;
}

QList<std::pair<QString, QString>> LogArchiver::removeOldest(const QString &logFile,
                                                             const QString &dateRegExp, int keep)
{
    const QFileInfo log(logFile);
    const QDir dir = log.absoluteDir();
    const QRegularExpression rolled(QStringLiteral("^%1%2(?:\\.zip)?$")
                                        .arg(QRegularExpression::escape(log.fileName()), dateRegExp));
    QStringList names;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        if (entry.isFile() && rolled.match(entry.fileName()).hasMatch())
            names.append(entry.fileName());
    }
    std::sort(names.begin(), names.end());

    QList<std::pair<QString, QString>> failures;
    for (qsizetype i = 0; i < names.size() - keep; ++i) {
        QFile old(dir.filePath(names.at(i)));
        if (old.remove())
            LogLog::debug(QStringLiteral("Deleted old backup '%1'").arg(old.fileName()).toStdString());
        else
            failures.append({old.fileName(), old.errorString()});
    }
    return failures;
}

QString LogArchiver::freeName(const QString &name)
{
    QString candidate = name;
    for (int n = 1; QFileInfo::exists(candidate) || QFileInfo::exists(candidate + ".zip"); ++n)
        candidate = name + QLatin1Char('.') + QString::number(n);
    return candidate;
}

} // namespace kiv
