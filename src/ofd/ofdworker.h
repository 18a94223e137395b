#pragma once

#include "service/iworker.h"

// Placeholder until the worker is built: finishes at once.
class OfdWorker : public IWorker
{
    Q_OBJECT
public:
    explicit OfdWorker(const QString &id, QObject *parent = nullptr) : IWorker(parent) { Q_UNUSED(id); }

signals:
    void finished() override;
    void sendData(QByteArray a);

public slots:
    void start() override { emit finished(); }
    void stop() override {}
    void onDataReceived(QByteArray a) { Q_UNUSED(a); }
    void pause() {}
    void unpause() {}
};
