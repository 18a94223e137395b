#include "devsim/morv2port.h"

#include "devsim/ptyend.h"

#include <QTimer>

namespace {

// The service reads our ENQ only between its other transfers, which may
// take a second or more; its own waits for us are 500 ms.
Morv2Link::Config patientEnd()
{
    Morv2Link::Config config;
    config.enqWait = 0;          // listen for as long as there is nothing to send
    config.byteWait = 3000;
    config.enqTries = 20;
    config.yieldOnConflict = true;
    return config;
}

constexpr int kYieldMs = 2500;

} // namespace

Morv2Port::Morv2Port(PtyEnd *line, QObject *parent)
    : QObject(parent)
    , m_line(line)
    , m_link(patientEnd())
    , m_timer(new QTimer(this))
    , m_yield(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_yield->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { apply(m_link.timeout()); });
    connect(m_yield, &QTimer::timeout, this, &Morv2Port::next);
    connect(line, &PtyEnd::received, this, &Morv2Port::onBytes);
    next();
}

bool Morv2Port::idle() const
{
    return !m_sending && m_queue.isEmpty()
           && (m_link.idle() || m_link.state() == Morv2Link::State::AwaitEnq);
}

void Morv2Port::send(const QByteArray &data)
{
    m_queue.append(data);
    next();
}

void Morv2Port::onBytes(const QByteArray &bytes)
{
    apply(m_link.feed(bytes));
}

void Morv2Port::apply(const Morv2Link::Actions &actions)
{
    if (!actions.write.isEmpty())
        m_line->write(actions.write);
    if (actions.timer == Morv2Link::Timer::Start)
        m_timer->start(actions.timerMs);
    else if (actions.timer == Morv2Link::Timer::Stop)
        m_timer->stop();
    if (actions.conflict) {
        ++m_conflicts;
        m_yield->start(kYieldMs);
    }
    if (actions.badCheck)
        ++m_badChecks;
    if (actions.abandoned)
        m_sending = false;   // ours goes again once the peer's is in
    if (!actions.finished)
        return;
    if (m_sending) {
        m_sending = false;
        if (actions.error != Morv2Link::NoError) {
            ++m_framesDropped;
            emit frameDropped(m_queue.takeFirst());
        } else if (!actions.conflict) {
            ++m_framesSent;
            m_queue.removeFirst();
        }
    }
    if (!actions.frame.isEmpty()) {
        m_yield->stop();   // the peer has had its turn
        ++m_framesReceived;
        emit frameReceived(actions.frame);
    }
    next();
}

void Morv2Port::next()
{
    // Starting an exchange may finish one at once from kept bytes, which
    // comes back here: the outer call goes on instead.
    if (m_inNext)
        return;
    m_inNext = true;
    for (;;) {
        const bool listening = m_link.state() == Morv2Link::State::AwaitEnq && m_link.buffered() == 0;
        if (!m_link.idle() && !listening)
            break;
        if (!m_queue.isEmpty() && !m_yield->isActive() && !m_sending) {
            m_sending = true;
            apply(m_link.begin(m_queue.first()));
        } else if (m_link.idle()) {
            apply(m_link.begin(QByteArray()));
        } else {
            break;
        }
        if (!m_link.idle())
            break;
    }
    m_inNext = false;
}
