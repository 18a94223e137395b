#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

// Tells whether the worker threads still turn. A main-thread timer sends a
// heartbeat into every watched thread; the thread answers in its own turn
// with the steady-clock time it got there, and the times are kept here, in
// the main thread. A thread silent for longer than stallAfter() is stalled
// until it answers again.
class WorkerWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMinStallMs = 5000;

    // Callable from any thread; the watched thread calls it in its own turn.
    using Answer = std::function<void()>;
    // Called in the main thread with each heartbeat: makes the watched
    // thread call answer soon. Returns false once that thread is gone for
    // good; the entry is then dropped.
    using Ping = std::function<bool(const Answer &answer)>;

    explicit WorkerWatch(QObject *parent = nullptr);
    ~WorkerWatch() override;

    // The silence that makes a thread stalled; heartbeats go out twice in it.
    void setStallAfter(int msecs);
    int stallAfter() const { return m_stallAfterMs; }

    // name is what the log says ("USB-a4-read"); device the entry it serves.
    int watch(const QString &name, const QString &device, Ping ping);
    void forget(int id);

    // Heartbeats run between start() and stop().
    void start();
    void stop();

    struct Stall
    {
        QString name;
        QString device;
        qint64 silentMs = 0;
    };
    // Looks at the times now; emits stallBegan for threads newly silent.
    void check();
    // Stalled threads as of the last check or answer.
    QList<Stall> stalled() const;
    bool deviceStalled(const QString &device) const;

signals:
    void stallBegan(const QString &name, const QString &device, qint64 silentMs);
    void stallEnded(const QString &name, const QString &device, qint64 silentMs);

private:
    struct Entry
    {
        QString name;
        QString device;
        Ping ping;
        qint64 lastAnswer = 0;
        bool stalled = false;
    };
    struct Relay;

    void beat();
    void onAnswer(int id, qint64 at);
    static qint64 now();

    std::shared_ptr<Relay> m_relay;
    QHash<int, Entry> m_entries;
    int m_nextId = 1;
    int m_stallAfterMs = kMinStallMs;
    QTimer m_timer;
};
