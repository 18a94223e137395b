#include "service/statussummary.h"

#include <QList>

#include <algorithm>

namespace {

// Named devices per state at most; the rest is counted.
const int kNamedIds = 3;

} // namespace

bool StatusSummary::isGood(const QString &state)
{
    return state == QLatin1String("ready") || state == QLatin1String("exchanging");
}

void StatusSummary::setDevice(const QString &id, const QString &state)
{
    m_states.insert(id, state);
}

void StatusSummary::removeDevice(const QString &id)
{
    m_states.remove(id);
}

QString StatusSummary::text() const
{
    // States in the order first seen by id; good ones first.
    QStringList order;
    QMap<QString, QStringList> ids;
    for (auto it = m_states.cbegin(); it != m_states.cend(); ++it) {
        if (!ids.contains(it.value()))
            order.append(it.value());
        ids[it.value()].append(it.key());
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const QString &a, const QString &b) { return isGood(a) && !isGood(b); });
    QStringList parts;
    for (const QString &state : std::as_const(order)) {
        const QStringList &named = ids.value(state);
        QString part = QStringLiteral("%1 %2").arg(named.size()).arg(state);
        if (!isGood(state)) {
            QStringList shown = named.mid(0, kNamedIds);
            if (named.size() > kNamedIds)
                shown.append(QStringLiteral("…"));
            part += QStringLiteral(" (%1)").arg(shown.join(QLatin1String(", ")));
        }
        parts.append(part);
    }
    const int count = int(m_states.size());
    QString text = count == 1 ? QStringLiteral("1 device") : QStringLiteral("%1 devices").arg(count);
    if (!parts.isEmpty())
        text += QLatin1String(": ") + parts.join(QLatin1String(", "));
    if (!m_stalled.isEmpty())
        text = QStringLiteral("STALLED %1; %2").arg(m_stalled.join(QLatin1String(", ")), text);
    return text;
}
