#pragma once

#include <QString>
#include <QStringList>

// The systemd unit that runs the service in the foreground ("-e") under
// systemd's supervision; installed and removed by "-i" and "-u".
class SystemdUnit
{
public:
    // unitDir is where the unit file goes; systemd is told about changes
    // only when manageSystemd is set (tests write into a temporary directory).
    SystemdUnit(const QString &name, const QString &description, const QString &executable,
                const QString &unitDir = QStringLiteral("/etc/systemd/system"),
                bool manageSystemd = true);

    QString fileName() const { return m_name + QLatin1String(".service"); }

    // Where packages put their units; a unit of ours there is not shadowed.
    void setPackagedUnitDirs(const QStringList &dirs) { m_packagedDirs = dirs; }
    // The packaged unit of this name, or empty.
    QString packagedUnit() const;
    // The unit file systemd uses for this name, from "-i" or a package, or
    // empty.
    QString activeUnit() const;

    // Why account cannot be used for User=, or empty when it can: control
    // characters and blanks are refused, and the account must exist.
    static QString accountProblem(const QString &account);
    QString path() const;
    bool isInstalled() const;

    // The unit file's text; account, when not empty, becomes User=.
    QString text(const QString &account = QString()) const;

    // Writes the unit, reloads systemd and, with enable, enables the unit.
    // Refuses an unusable account and a unit that a package installed.
    // Problems with systemctl itself are notes, not failures.
    bool install(const QString &account, bool enable, QString *error, QStringList *notes);
    // Disables and removes the unit and reloads systemd.
    bool uninstall(QString *error, QStringList *notes);

private:
    bool systemdRunning() const;
    // Runs systemctl with args; false with a note when it is missing or fails.
    bool systemctl(const QStringList &args, QStringList *notes) const;

    QString m_name;
    QString m_description;
    QString m_executable;
    QString m_unitDir;
    bool m_manageSystemd;
    QStringList m_packagedDirs{QStringLiteral("/lib/systemd/system"), QStringLiteral("/usr/lib/systemd/system")};
};
