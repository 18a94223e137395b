#include "service/workerwatch.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <chrono>

// Answers may still be under way when the watch goes: they reach it
// through this, which forgets the watch under its lock.
struct WorkerWatch::Relay
{
    QMutex mutex;
    WorkerWatch *watch = nullptr;

    void post(int id, qint64 at)
    {
        QMutexLocker locker(&mutex);
        if (watch)
            QMetaObject::invokeMethod(watch, [w = watch, id, at] { w->onAnswer(id, at); }, Qt::QueuedConnection);
    }
};

WorkerWatch::WorkerWatch(QObject *parent)
    : QObject(parent), m_relay(std::make_shared<Relay>())
{
    m_relay->watch = this;
    m_timer.setInterval(m_stallAfterMs / 2);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        check();
        beat();
    });
}

WorkerWatch::~WorkerWatch()
{
    QMutexLocker locker(&m_relay->mutex);
    m_relay->watch = nullptr;
}

qint64 WorkerWatch::now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void WorkerWatch::setStallAfter(int msecs)
{
    m_stallAfterMs = qMax(msecs, 2);
    m_timer.setInterval(m_stallAfterMs / 2);
}

int WorkerWatch::watch(const QString &name, const QString &device, Ping ping)
{
    const int id = m_nextId++;
    Entry entry;
    entry.name = name;
    entry.device = device;
    entry.ping = std::move(ping);
    entry.lastAnswer = now();
    m_entries.insert(id, entry);
    return id;
}

void WorkerWatch::forget(int id)
{
    m_entries.remove(id);
}

void WorkerWatch::start()
{
    m_timer.start();
    beat();
}

void WorkerWatch::stop()
{
    m_timer.stop();
}

void WorkerWatch::beat()
{
    const std::shared_ptr<Relay> relay = m_relay;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const int id = it.key();
        // The time is taken where the answer runs: in the watched thread.
        const Answer answer = [relay, id] { relay->post(id, now()); };
        if (it->ping(answer))
            ++it;
        else
            it = m_entries.erase(it);
    }
}

void WorkerWatch::check()
{
    const qint64 at = now();
    QList<Stall> began;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        const qint64 silent = at - it->lastAnswer;
        if (it->stalled || silent <= m_stallAfterMs)
            continue;
        it->stalled = true;
        began.append({it->name, it->device, silent});
    }
    // After the loop: a slot may forget entries.
    for (const Stall &stall : std::as_const(began))
        emit stallBegan(stall.name, stall.device, stall.silentMs);
}

void WorkerWatch::onAnswer(int id, qint64 at)
{
    const auto it = m_entries.find(id);
    if (it == m_entries.end() || at < it->lastAnswer)
        return;
    const qint64 silent = at - it->lastAnswer;
    it->lastAnswer = at;
    if (!it->stalled)
        return;
    it->stalled = false;
    // Copies: a slot may forget the entry.
    const QString name = it->name;
    const QString device = it->device;
    emit stallEnded(name, device, silent);
}

QList<WorkerWatch::Stall> WorkerWatch::stalled() const
{
    QList<Stall> list;
    const qint64 at = now();
    for (const Entry &entry : m_entries) {
        if (entry.stalled)
            list.append({entry.name, entry.device, at - entry.lastAnswer});
    }
    std::sort(list.begin(), list.end(), [](const Stall &a, const Stall &b) { return a.name < b.name; });
    return list;
}

bool WorkerWatch::deviceStalled(const QString &device) const
{
    for (const Entry &entry : m_entries) {
        if (entry.stalled && entry.device == device)
            return true;
    }
    return false;
}
