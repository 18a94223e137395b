#pragma once

#include <QFuture>
#include <QList>
#include <QString>

#include <mutex>
#include <utility>

namespace kiv {

// The files a log is rolled over into: their names, and their compression
// into ZIP archives on the global thread pool, apart from the appender that
// rolled them. A failed archive is reported through log4cxx's internal log
// and leaves the rolled file as it is.
class LogArchiver
{
public:
    // Starts compressing name (see zipFile).
    void start(const QString &name);
    // Blocks until every archive started so far is written.
    void waitForAll();

    // Compresses the rolled file into "<absolute name>.zip" (one entry,
    // stored when under 64 bytes, deflated otherwise) and deletes it once
    // the archive is complete. On any failure no archive is left and the
    // file stays. Thread-safe.
    static bool zipFile(const QString &name);

    // Deletes the oldest rolled files of logFile (its name followed by a
    // date that dateRegExp matches, archived or not) beyond the newest keep.
    // Returns the files that could not be deleted, each with the reason.
    static QList<std::pair<QString, QString>> removeOldest(const QString &logFile,
                                                           const QString &dateRegExp, int keep);
    // name, or name followed by ".1", ".2"...: the first that neither exists
    // nor has an archive. After a clock change the same interval name can
    // come round again, and an earlier rolled file is never replaced.
    static QString freeName(const QString &name);

private:
    std::mutex m_mutex;
    QList<QFuture<bool>> m_tasks;
};

} // namespace kiv
