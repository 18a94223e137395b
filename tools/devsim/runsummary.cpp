#include "devsim/runsummary.h"

#include <QStringList>

#include <algorithm>

int RunSummary::documentsSent() const
{
    return int(std::count_if(documents.begin(), documents.end(), [](const auto &d) { return d.sent; }));
}

int RunSummary::repliesIntact() const
{
    return int(std::count_if(documents.begin(), documents.end(), [](const auto &d) { return d.intact; }));
}

qint64 RunSummary::bytesToOfd() const
{
    qint64 total = 0;
    for (const auto &d : documents)
        total += d.sent ? d.bytesSent : 0;
    return total;
}

qint64 RunSummary::bytesFromOfd() const
{
    qint64 total = 0;
    for (const auto &d : documents)
        total += d.replyBytes;
    return total;
}

qint64 RunSummary::roundTrip(int which) const
{
    QList<qint64> times;
    for (const auto &d : documents) {
        if (d.intact)
            times.append(d.roundTripMs);
    }
    if (times.isEmpty())
        return -1;
    std::sort(times.begin(), times.end());
    if (which < 0)
        return times.first();
    if (which > 0)
        return times.last();
    const qsizetype n = times.size();
    return n % 2 ? times.at(n / 2) : (times.at(n / 2 - 1) + times.at(n / 2)) / 2;
}

bool RunSummary::success() const
{
    return abortReason.isEmpty() && documentsPlanned > 0 && documents.size() == documentsPlanned
        && documentsSent() == documentsPlanned && repliesIntact() == documentsPlanned
        && commandsIntact == commandsPlanned && badFrames == 0 && grantViolations == 0;
}

QString RunSummary::text() const
{
    QStringList lines;
    lines << QStringLiteral("Summary (exchange protocol %1)").arg(protocol);
    lines << QStringLiteral("  documents sent:         %1 of %2").arg(documentsSent()).arg(documentsPlanned);
    lines << QStringLiteral("  replies intact:         %1 of %2").arg(repliesIntact()).arg(documentsPlanned);
    lines << QStringLiteral("  bytes device -> OFD:    %1").arg(bytesToOfd());
    lines << QStringLiteral("  bytes OFD -> device:    %1").arg(bytesFromOfd());
    if (repliesIntact() > 0)
        lines << QStringLiteral("  round trip:             min %1 ms, median %2 ms, max %3 ms")
                     .arg(roundTrip(-1))
                     .arg(roundTrip(0))
                     .arg(roundTrip(1));
    else
        lines << QStringLiteral("  round trip:             no reply arrived");
    lines << QStringLiteral("  application commands:   %1 of %2 answered by the device")
                 .arg(commandsIntact)
                 .arg(commandsPlanned);
    if (badFrames)
        lines << QStringLiteral("  damaged frames:         %1").arg(badFrames);
    if (grantViolations)
        lines << QStringLiteral("  chunks beyond a grant:  %1").arg(grantViolations);
    for (const auto &d : documents) {
        if (!d.intact)
            lines << QStringLiteral("  document %1: %2").arg(d.sequence).arg(d.failure);
    }
    if (!abortReason.isEmpty())
        lines << QStringLiteral("  stopped early: %1").arg(abortReason);
    lines << (success() ? QStringLiteral("Result: OK, every document made the round trip intact")
                        : QStringLiteral("Result: FAILED"));
    return lines.join(QLatin1Char('\n'));
}
