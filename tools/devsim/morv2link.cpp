#include "devsim/morv2link.h"

#include "devsim/ptyend.h"

#include <QTimer>

namespace {

// The service reads our ENQ only between its other transfers, which may
// take a second or more; its own waits for us are 500 ms.
constexpr int kEnqAckWaitMs = 3000;
constexpr int kFrameAckWaitMs = 1000;
constexpr int kStxWaitMs = 5000;
constexpr int kInFrameWaitMs = 1000;
constexpr int kEotWaitMs = 500;
constexpr int kYieldMs = 2500;
constexpr int kMaxEnqSeries = 20;
constexpr int kMaxFrameTries = 10;

} // namespace

Morv2Link::Morv2Link(PtyEnd *line, QObject *parent)
    : QObject(parent)
    , m_line(line)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &Morv2Link::onTimeout);
    connect(line, &PtyEnd::received, this, &Morv2Link::onBytes);
}

void Morv2Link::send(const QByteArray &data)
{
    m_queue.append(data);
    if (m_state == State::Idle)
        startSending();
}

void Morv2Link::enter(State state, int timeoutMs)
{
    m_state = state;
    if (timeoutMs > 0)
        m_timer->start(timeoutMs);
    else
        m_timer->stop();
}

void Morv2Link::startSending()
{
    if (m_state != State::Idle || m_queue.isEmpty())
        return;
    if (m_yield.isValid() && m_yield.elapsed() < kYieldMs) {
        m_timer->start(int(kYieldMs - m_yield.elapsed()) + 1);
        return;
    }
    m_yield.invalidate();
    ++m_series;
    m_line->write(QByteArray(1, Morv2Frame::ENQ));
    enter(State::AwaitEnqAck, kEnqAckWaitMs);
}

void Morv2Link::deliverReceived()
{
    m_yield.invalidate(); // the peer has had its turn
    if (m_haveReceived) {
        m_haveReceived = false;
        ++m_framesReceived;
        emit frameReceived(m_received);
        m_received.clear();
    }
}

void Morv2Link::onBytes(const QByteArray &bytes)
{
    for (char b : bytes)
        onByte(b);
}

void Morv2Link::onByte(char b)
{
    switch (m_state) {
    case State::Idle:
        if (b == Morv2Frame::ENQ) {
            m_line->write(QByteArray(1, Morv2Frame::ACK));
            enter(State::AwaitStx, kStxWaitMs);
        }
        return; // anything else between transfers is noise
    case State::AwaitEnqAck:
        if (b == Morv2Frame::ACK) {
            m_tries = 1;
            m_line->write(Morv2Frame::build(m_queue.first()));
            enter(State::AwaitFrameAck, kFrameAckWaitMs);
        } else if (b == Morv2Frame::ENQ) {
            // Both want to send: the peer waits a little and asks again;
            // we take its frame first.
            ++m_conflicts;
            m_yield.start();
            enter(State::Idle, 0);
            m_timer->start(kYieldMs);
        }
        return;
    case State::AwaitFrameAck:
        if (b == Morv2Frame::ACK) {
            m_line->write(QByteArray(1, Morv2Frame::EOT));
            m_queue.removeFirst();
            ++m_framesSent;
            m_series = 0;
            enter(State::Idle, 0);
            startSending();
        } else if (b == Morv2Frame::NAK) {
            onTimeout();
        }
        return;
    case State::AwaitStx:
        if (b == Morv2Frame::STX) {
            m_rx.reset();
            enter(State::InFrame, kInFrameWaitMs);
        } else if (b == Morv2Frame::ENQ) {
            m_line->write(QByteArray(1, Morv2Frame::ACK)); // it missed our ACK
        }
        return;
    case State::InFrame:
        switch (m_rx.feed(b)) {
        case Morv2Frame::Step::More:
            return;
        case Morv2Frame::Step::End:
            enter(State::AwaitCheck, kInFrameWaitMs);
            return;
        case Morv2Frame::Step::Overflow:
            // Say nothing: the peer repeats the frame after its time-out.
            enter(State::AwaitStx, kStxWaitMs);
            return;
        }
        return;
    case State::AwaitCheck:
        if (m_rx.checkMatches(b)) {
            m_line->write(QByteArray(1, Morv2Frame::ACK));
            m_received = m_rx.data(); // a repeated frame replaces the first
            m_haveReceived = true;
            enter(State::AwaitEot, kEotWaitMs);
        } else {
            ++m_badChecks;
            m_line->write(QByteArray(1, Morv2Frame::NAK));
            enter(State::AwaitStx, kStxWaitMs);
        }
        return;
    case State::AwaitEot:
        if (b == Morv2Frame::STX) { // the peer missed our ACK and repeats
            m_rx.reset();
            enter(State::InFrame, kInFrameWaitMs);
            return;
        }
        deliverReceived();
        enter(State::Idle, 0);
        if (b == Morv2Frame::ENQ)
            onByte(b);
        else
            startSending();
        return;
    }
}

void Morv2Link::onTimeout()
{
    switch (m_state) {
    case State::Idle:
        startSending(); // the yield after a conflict is over
        return;
    case State::AwaitEnqAck:
        if (m_series >= kMaxEnqSeries) {
            m_line->write(QByteArray(1, Morv2Frame::EOT));
            ++m_framesDropped;
            m_series = 0;
            emit frameDropped(m_queue.takeFirst());
            enter(State::Idle, 0);
        } else {
            enter(State::Idle, 0);
        }
        startSending();
        return;
    case State::AwaitFrameAck:
        if (++m_tries > kMaxFrameTries) {
            m_line->write(QByteArray(1, Morv2Frame::EOT));
            ++m_framesDropped;
            m_series = 0;
            emit frameDropped(m_queue.takeFirst());
            enter(State::Idle, 0);
            startSending();
        } else {
            m_line->write(Morv2Frame::build(m_queue.first()));
            enter(State::AwaitFrameAck, kFrameAckWaitMs);
        }
        return;
    case State::AwaitStx:
    case State::InFrame:
    case State::AwaitCheck:
        enter(State::Idle, 0);
        startSending();
        return;
    case State::AwaitEot:
        deliverReceived();
        enter(State::Idle, 0);
        startSending();
        return;
    }
}
