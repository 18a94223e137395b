#pragma once

#include "proxy/morv2frame.h"

#include <QByteArray>

// One end of a protocol-2 serial line as a pure state machine: bytes and
// time-outs go in, bytes to write, the time-out to arm and the outcome of
// an exchange come out. No I/O, no clock, no threads.
//
// An exchange is one transfer on the line: send mode takes the peer's ACK
// to our ENQ, sends the frame and ends with EOT; receive mode waits a short
// while for the peer's ENQ and takes its frame. Between exchanges, and
// while a pause runs, bytes are kept and read by the next state that waits
// for one, as a port's buffer would keep them.
//
// Contract: every call returns Actions. Write `write` first, then apply
// `timer` (Keep: leave the running time-out alone; Stop; or arm a single
// shot of `timer` ms whose expiry is reported with timeout()). When
// `finished` is set the exchange is over: `frame` holds the data received
// (receive mode, or the peer's frame that a send gave way to), `error` the
// failure code or 0. The link is then Idle until the next begin().
class Morv2Link
{
public:
    // Limits and waits. Defaults are the service's; a simulated device or
    // application may be more patient.
    struct Config
    {
        int enqWait = 10;          // receive: the peer's ENQ; 0 waits for ever
        int byteWait = 500;        // answer to ENQ or frame, bytes of a frame
        int frameWait = 5000;      // receive: STX after our ACK
        int nakDelay = 500;        // send: after a NAK to our ENQ
        int conflictDelay = 500;   // send: after ENQ answered with ENQ
        int enqTries = 5;          // ENQs in one series
        int maxSeries = 100;       // series ended by a conflict or a stray byte
        int frameTries = 10;       // transmissions of one frame
        int strayBytes = 100;      // stray bytes tolerated while waiting
        int maxRestarts = 10;      // repeats and failed receptions of one frame
        // Give way at once when both ends send ENQ: the exchange finishes
        // with `conflict` set and the caller listens for the peer's frame.
        bool yieldOnConflict = false;
    };

    // Why an exchange failed, by the numbers operators know.
    enum Error {
        NoError = 0,
        StrayBeforeEnq = 384,   // too many stray bytes instead of the peer's ENQ
        NoFrame = 421,          // no byte after we acknowledged the peer's ENQ
        EnqRepeated = 531,      // the peer kept repeating its ENQ
        Reception = 537,        // too many failed receptions of one frame
        FrameRepeated = 543,    // the peer kept repeating an acknowledged frame
        SendGivenUp = 548,      // our frame could not be delivered; EOT written
    };

    enum class State {
        Idle,           // no exchange: bytes are kept for the next one
        AwaitEnq,       // receive: waiting for the peer's ENQ
        AwaitStx,       // receive: ENQ acknowledged, waiting for STX
        InFrame,        // receive: data bytes up to ETX
        AwaitCheck,     // receive: the check byte after ETX
        AwaitEot,       // receive: frame acknowledged; EOT, or STX for a repeat
        AwaitTrailing,  // receive: a stray byte after our ACK; another spoils the frame
        AwaitEnqAnswer, // send: our ENQ is out
        NakDelay,       // send: pause after a NAK to our ENQ
        ConflictDelay,  // send: pause after the peer answered our ENQ with ENQ
        AwaitFrameAck,  // send: our frame is out
    };

    enum class Timer { Keep, Stop, Start };

    struct Actions
    {
        QByteArray write;
        Timer timer = Timer::Keep;
        int timerMs = 0;
        bool conflict = false;    // the peer answered our ENQ with ENQ
        bool abandoned = false;   // our frame was given up for the peer's
        bool badCheck = false;    // a received frame failed its check byte
        bool finished = false;
        QByteArray frame;
        int error = NoError;
    };

    Morv2Link() = default;
    explicit Morv2Link(const Config &config) : m_config(config) {}

    const Config &config() const { return m_config; }
    State state() const { return m_state; }
    bool idle() const { return m_state == State::Idle; }
    // Bytes received and not read yet.
    int buffered() const { return int(m_input.size()); }

    // Starts an exchange: send mode for a non-empty request, else receive
    // mode. From Idle, or from AwaitEnq with nothing read (a listener that
    // wants to send after all).
    Actions begin(const QByteArray &request);
    Actions feed(const QByteArray &bytes);
    Actions timeout();
    // The port was reopened: forget the exchange and every kept byte.
    void reset();

    // Most bytes kept between exchanges, about what a port buffers; older
    // ones are dropped beyond it.
    static constexpr int kMaxBuffered = 4096;

private:
    bool reading() const;
    void run(Actions &out);
    void onByte(char byte, Actions &out);
    void onTimeout(Actions &out);
    void arm(Actions &out, int ms);
    void enter(State state, Actions &out, int ms);
    void finish(Actions &out, const QByteArray &frame, int error);
    void newSeries(Actions &out);
    void sendEnq(Actions &out);
    void enqFailed(Actions &out);
    void giveUp(Actions &out);
    void sendFrame(Actions &out);
    void acceptEnq(Actions &out);
    void receptionError(Actions &out);

    Config m_config;
    State m_state = State::Idle;
    QByteArray m_input;
    QByteArray m_frame;   // send: the whole frame on the wire
    Morv2Frame m_rx;
    int m_series = 0;
    int m_tries = 0;
    int m_restarts = 0;
};
