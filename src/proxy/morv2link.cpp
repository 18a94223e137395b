#include "proxy/morv2link.h"

bool Morv2Link::reading() const
{
    switch (m_state) {
    case State::Idle:
    case State::NakDelay:
    case State::ConflictDelay:
        return false;
    default:
        return true;
    }
}

void Morv2Link::reset()
{
    m_state = State::Idle;
    m_input.clear();
    m_frame.clear();
    m_rx.reset();
}

Morv2Link::Actions Morv2Link::begin(const QByteArray &request)
{
    Actions out;
    if (m_state == State::AwaitEnq)
        m_state = State::Idle;   // nothing was read: the wait is simply dropped
    if (m_state != State::Idle)
        return out;
    if (request.isEmpty()) {
        m_tries = 1;
        enter(State::AwaitEnq, out, m_config.enqWait);
    } else {
        m_frame = Morv2Frame::build(request);
        m_series = 0;
        newSeries(out);
    }
    run(out);
    return out;
}

Morv2Link::Actions Morv2Link::feed(const QByteArray &bytes)
{
    Actions out;
    m_input.append(bytes);
    if (m_input.size() > kMaxBuffered)
        m_input.remove(0, m_input.size() - kMaxBuffered);
    run(out);
    return out;
}

Morv2Link::Actions Morv2Link::timeout()
{
    Actions out;
    onTimeout(out);
    run(out);
    return out;
}

void Morv2Link::run(Actions &out)
{
    qsizetype used = 0;
    while (reading() && used < m_input.size())
        onByte(m_input.at(used++), out);
    m_input.remove(0, used);
}

void Morv2Link::arm(Actions &out, int ms)
{
    if (ms > 0) {
        out.timer = Timer::Start;
        out.timerMs = ms;
    } else {
        out.timer = Timer::Stop;
    }
}

void Morv2Link::enter(State state, Actions &out, int ms)
{
    m_state = state;
    arm(out, ms);
}

void Morv2Link::finish(Actions &out, const QByteArray &frame, int error)
{
    m_state = State::Idle;
    out.timer = Timer::Stop;
    out.finished = true;
    out.frame = frame;
    out.error = error;
    m_frame.clear();
}

// Send mode.

void Morv2Link::newSeries(Actions &out)
{
    ++m_series;
    m_tries = 1;
    sendEnq(out);
}

void Morv2Link::sendEnq(Actions &out)
{
    out.write.append(Morv2Frame::ENQ);
    enter(State::AwaitEnqAnswer, out, m_config.byteWait);
}

void Morv2Link::enqFailed(Actions &out)
{
    if (++m_tries > m_config.enqTries)
        giveUp(out);
    else
        sendEnq(out);
}

void Morv2Link::giveUp(Actions &out)
{
    out.write.append(Morv2Frame::EOT);
    finish(out, QByteArray(), SendGivenUp);
}

void Morv2Link::sendFrame(Actions &out)
{
    out.write.append(m_frame);
    enter(State::AwaitFrameAck, out, m_config.byteWait);
}

// Receive mode.

void Morv2Link::acceptEnq(Actions &out)
{
    m_restarts = 0;
    out.write.append(Morv2Frame::ACK);
    m_tries = 1;
    enter(State::AwaitStx, out, m_config.frameWait);
}

void Morv2Link::receptionError(Actions &out)
{
    if (++m_restarts > m_config.maxRestarts) {
        finish(out, QByteArray(), Reception);
        return;
    }
    // No ACK: the peer sends the frame again after its own time-out.
    m_tries = 1;
    enter(State::AwaitStx, out, m_config.frameWait);
}

void Morv2Link::onByte(char byte, Actions &out)
{
    switch (m_state) {
    case State::Idle:
    case State::NakDelay:
    case State::ConflictDelay:
        return;   // not reached: run() reads only in waiting states

    case State::AwaitEnq:
        if (byte == Morv2Frame::ENQ)
            acceptEnq(out);
        else if (++m_tries > m_config.strayBytes)
            finish(out, QByteArray(), StrayBeforeEnq);
        else
            enter(State::AwaitEnq, out, m_config.enqWait);
        return;

    case State::AwaitStx:
        if (byte == Morv2Frame::ENQ) {
            // The peer missed our ACK and asks again.
            if (++m_restarts > m_config.maxRestarts) {
                finish(out, QByteArray(), EnqRepeated);
                return;
            }
            out.write.append(Morv2Frame::ACK);
            m_tries = 1;
            enter(State::AwaitStx, out, m_config.frameWait);
        } else if (byte == Morv2Frame::STX) {
            m_rx.reset();
            enter(State::InFrame, out, m_config.byteWait);
        } else if (++m_tries > m_config.strayBytes) {
            finish(out, QByteArray(), NoError);
        } else {
            enter(State::AwaitStx, out, m_config.frameWait);
        }
        return;

    case State::InFrame:
        switch (m_rx.feed(byte)) {
        case Morv2Frame::Step::More:
            enter(State::InFrame, out, m_config.byteWait);
            return;
        case Morv2Frame::Step::End:
            enter(State::AwaitCheck, out, m_config.byteWait);
            return;
        case Morv2Frame::Step::Overflow:
            receptionError(out);
            return;
        }
        return;

    case State::AwaitCheck:
        if (!m_rx.checkMatches(byte)) {
            out.badCheck = true;
            out.write.append(Morv2Frame::NAK);
            receptionError(out);
            return;
        }
        out.write.append(Morv2Frame::ACK);
        enter(State::AwaitEot, out, m_config.byteWait);
        return;

    case State::AwaitEot:
        if (byte == Morv2Frame::EOT) {
            finish(out, m_rx.data(), NoError);
        } else if (byte == Morv2Frame::STX) {
            // The peer missed our ACK and repeats the frame.
            if (++m_restarts > m_config.maxRestarts) {
                finish(out, QByteArray(), FrameRepeated);
                return;
            }
            m_rx.reset();
            enter(State::InFrame, out, m_config.byteWait);
        } else {
            enter(State::AwaitTrailing, out, m_config.byteWait);
        }
        return;

    case State::AwaitTrailing:
        receptionError(out);
        return;

    case State::AwaitEnqAnswer:
        if (byte == Morv2Frame::ACK) {
            m_tries = 1;
            sendFrame(out);
        } else if (byte == Morv2Frame::ENQ) {
            out.conflict = true;
            if (m_config.yieldOnConflict) {
                finish(out, QByteArray(), NoError);
                return;
            }
            enter(State::ConflictDelay, out, m_config.conflictDelay);
        } else if (byte == Morv2Frame::NAK) {
            enter(State::NakDelay, out, m_config.nakDelay);
        } else if (m_series > m_config.maxSeries) {
            giveUp(out);
        } else {
            newSeries(out);
        }
        return;

    case State::AwaitFrameAck:
        if (byte == Morv2Frame::ACK) {
            out.write.append(Morv2Frame::EOT);
            finish(out, QByteArray(), NoError);
        } else if (byte == Morv2Frame::ENQ && m_tries > 1) {
            // The peer most likely has our frame and moved on to its own.
            out.abandoned = true;
            m_frame.clear();
            acceptEnq(out);
        } else if (++m_tries > m_config.frameTries) {
            giveUp(out);
        } else {
            sendFrame(out);
        }
        return;
    }
}

void Morv2Link::onTimeout(Actions &out)
{
    switch (m_state) {
    case State::Idle:
        return;
    case State::AwaitEnq:
        finish(out, QByteArray(), NoError);   // nobody wants to send
        return;
    case State::AwaitStx:
        finish(out, QByteArray(), NoFrame);
        return;
    case State::InFrame:
    case State::AwaitCheck:
        receptionError(out);
        return;
    case State::AwaitEot:
    case State::AwaitTrailing:
        finish(out, m_rx.data(), NoError);
        return;
    case State::AwaitEnqAnswer:
    case State::NakDelay:
        enqFailed(out);
        return;
    case State::ConflictDelay:
        if (m_series > m_config.maxSeries)
            giveUp(out);
        else
            newSeries(out);
        return;
    case State::AwaitFrameAck:
        if (++m_tries > m_config.frameTries)
            giveUp(out);
        else
            sendFrame(out);
        return;
    }
}
