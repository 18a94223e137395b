#pragma once

#include "devsim/tlvdevice.h"

#include <QString>

// What one run of the simulator amounts to, as the user reads it at the end.
struct RunSummary
{
    int protocol = 3;
    int documentsPlanned = 0;
    QList<TlvDevice::DocumentResult> documents;
    int commandsPlanned = 0;
    int commandsSent = 0;
    int commandsIntact = 0;
    int badFrames = 0;
    int grantViolations = 0;
    QString abortReason; // set when the run ended early

    int documentsSent() const;
    int repliesIntact() const;
    qint64 bytesToOfd() const;
    qint64 bytesFromOfd() const;
    // Round trips of the intact documents: min, median, max (-1 when none).
    qint64 roundTrip(int which) const;
    // Every document sent and answered intact, every command answered,
    // nothing damaged on the line.
    bool success() const;
    QString text() const;
};
