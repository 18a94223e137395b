#include "ofd/sessionrecord.h"

namespace {

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 3);
}

} // namespace

QString SessionRecord::result() const
{
    if (connectedMs == 0)
        return QStringLiteral("connect_failed");
    const bool cleanEnd = end == QLatin1String("device-close") || end == QLatin1String("server-close");
    if (cleanEnd && stuck() == 0 && unacked == 0 && discarded() == 0)
        return QStringLiteral("ok");
    return QStringLiteral("incomplete");
}

QString SessionRecord::server() const
{
    return QStringLiteral("%1:%2").arg(host.isEmpty() ? QStringLiteral("-") : host).arg(port);
}

QString SessionRecord::line(const QString &device) const
{
    // Put together piece by piece: an id or host holding "%1" must stay as it is.
    const QString n = QString::number(number);
    QString text = QStringLiteral("session ") + device + QLatin1Char('/') + n + QStringLiteral(" closed: ch=")
                   + QString::number(ch) + QStringLiteral(" server=") + server() + QStringLiteral(" addr=")
                   + (addr.isEmpty() ? QStringLiteral("-") : addr) + QStringLiteral(" dur=")
                   + seconds(endedMs - openedMs) + QStringLiteral(" connect=")
                   + (connectedMs ? seconds(connectedMs - openedMs) : QStringLiteral("-"))
                   + QStringLiteral(" end=") + (end.isEmpty() ? QStringLiteral("-") : end);
    text += QStringLiteral(" dev>ofd=%1/%2/%3 unacked=%4 ofd>dev=%5/%6/%7 result=")
                .arg(taken)
                .arg(written)
                .arg(stuck())
                .arg(unacked)
                .arg(read)
                .arg(delivered)
                .arg(discarded());
    return text + result();
}

QString SessionRecord::stateName(int state)
{
    switch (state) {
    case Resolving: return QStringLiteral("resolving");
    case Connecting: return QStringLiteral("connecting");
    case Open: return QStringLiteral("open");
    case Draining: return QStringLiteral("draining");
    default: return QStringLiteral("idle");
    }
}
