// The protocol-2 link state machine: byte sequences and time-outs in,
// bytes written, time-outs armed and outcomes out, with the service's limits.
#include "proxy/morv2link.h"

#include <QtTest>

#include <utility>
#include <vector>

namespace {

constexpr char STX = Morv2Frame::STX, ETX = Morv2Frame::ETX, EOT = Morv2Frame::EOT, ENQ = Morv2Frame::ENQ,
               ACK = Morv2Frame::ACK, NAK = Morv2Frame::NAK;
constexpr int kKeep = -2;   // the running time-out is left alone
constexpr int kStop = -1;

// One input and what must come out of it. `outcome` is "" while the
// exchange goes on, else "frame <hex>", "none" or "error <code>"; flags
// conflict/abandoned/badcheck are appended with a blank.
struct Step
{
    enum Kind { Begin, Feed, Timeout } kind;
    QByteArray in;
    QByteArray write;
    int timer;
    QString outcome;
};

Step begin(const QByteArray &request, const QByteArray &write, int timer, const QString &outcome = {})
{ return {Step::Begin, request, write, timer, outcome}; }
Step feed(const QByteArray &bytes, const QByteArray &write, int timer, const QString &outcome = {})
{ return {Step::Feed, bytes, write, timer, outcome}; }
Step expire(const QByteArray &write, int timer, const QString &outcome = {})
{ return {Step::Timeout, {}, write, timer, outcome}; }

QByteArray b(char c, int n = 1) { return QByteArray(n, c); }

QString describe(const Morv2Link::Actions &a)
{
    QStringList parts;
    if (a.finished)
        parts << (a.error             ? QStringLiteral("error %1").arg(a.error)
                  : a.frame.isEmpty() ? QStringLiteral("none")
                                      : QStringLiteral("frame ") + QString::fromLatin1(a.frame.toHex()));
    const std::pair<bool, const char *> flags[] = {
        {a.conflict, "conflict"}, {a.abandoned, "abandoned"}, {a.badCheck, "badcheck"}};
    for (const auto &[on, name] : flags) {
        if (on)
            parts << QLatin1String(name);
    }
    return parts.join(QLatin1Char(' '));
}

struct Case
{
    const char *name;
    std::vector<Step> steps;
    bool yield = false;
};

// Written out by hand: STX, data, ETX, XOR of data and ETX.
const QByteArray ab = QByteArray::fromHex("0261620300");
const QByteArray cd = QByteArray::fromHex("0263640304");

// A receive that has taken the peer's ENQ, then `rest`.
std::vector<Step> acked(const std::vector<Step> &rest = {})
{
    std::vector<Step> steps{begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000)};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

// `first`, `times` copies of `repeat`, then `last`.
std::vector<Step> repeated(std::vector<Step> first, const Step &repeat, int times, const Step &last)
{
    first.insert(first.end(), size_t(times), repeat);
    first.push_back(last);
    return first;
}

std::vector<Case> cases()
{
    QByteArray bad = ab;
    bad[bad.size() - 1] = char(bad.back() ^ 0x40);
    const QByteArray largest(Morv2Frame::kMaxData, Morv2Frame::DLE);
    const Step nak = feed(bad, b(NAK), 5000, "badcheck"), ackAgain = feed(ab, b(ACK), 500);
    return {
        // Receive mode.
        {"receive: nobody sends", {begin({}, {}, 10), expire({}, kStop, "none")}},
        {"receive: tiny and short pieces",
         acked({feed(b(STX), {}, 500), feed("a", {}, 500), feed(ab.mid(2, 1), {}, 500), feed(b(ETX), {}, 500),
                feed(ab.right(1), b(ACK), 500), expire({}, kStop, "frame 6162")})},
        {"receive: complete-and-short, the rest kept for the next exchange",
         acked({feed(ab + b(EOT) + b(ENQ) + b(STX), b(ACK), kStop, "frame 6162"), begin({}, b(ACK), 500)})},
        {"receive: garbage before ENQ and STX",
         {begin({}, {}, 10), feed(QByteArray::fromHex("0011"), {}, 10), feed(b(ENQ), b(ACK), 5000),
          feed("zz" + ab, b(ACK), 500), feed(b(EOT), {}, kStop, "frame 6162")}},
        {"receive: 100 stray bytes instead of ENQ", {begin({}, {}, 10), feed(b('x', 100), {}, kStop, "error 384")}},
        {"receive: 99 stray bytes are tolerated",
         {begin({}, {}, 10), feed(b('x', 99), {}, 10), feed(b(ENQ), b(ACK), 5000)}},
        {"receive: 100 stray bytes instead of STX", acked({feed(b('x', 100), {}, kStop, "none")})},
        {"receive: silence after our ACK", acked({expire({}, kStop, "error 421")})},
        {"receive: ENQ repeated", acked({feed(b(ENQ, 10), b(ACK, 10), 5000), feed(b(ENQ), {}, kStop, "error 531")})},
        {"receive: bad check byte, then the frame again",
         acked({nak, feed(ab, b(ACK), 500), feed(b(EOT), {}, kStop, "frame 6162")})},
        {"receive: eleventh failed reception",
         repeated(acked(), nak, 10, feed(bad, b(NAK), kStop, "error 537 badcheck"))},
        {"receive: lost byte, silence inside the frame",
         acked({feed(ab.left(3), {}, 500), expire({}, 5000), feed(ab, b(ACK), 500)})},
        // Every DLE stuffed: an even number of them leaves ETX as the check.
        {"receive: 1024 data bytes", acked({feed(b(STX) + largest + largest + b(ETX, 2), b(ACK), 500)})},
        {"receive: 1025 data bytes", acked({feed(b(STX) + largest + largest + "x", {}, 5000)})},
        // A repeat replaces the first.
        {"receive: acknowledged frame repeated",
         acked({feed(ab, b(ACK), 500), feed(cd, b(ACK), 500),
                feed(b(EOT), {}, kStop, "frame 6364")})},
        {"receive: acknowledged frame repeated too often",
         repeated(acked(), ackAgain, 11, feed(b(STX), {}, kStop, "error 543"))},
        {"receive: one stray byte after our ACK",
         acked({feed(ab + "z", b(ACK), 500), expire({}, kStop, "frame 6162")})},
        {"receive: two stray bytes after our ACK", acked({feed(ab + "zz", b(ACK), 5000)})},
        {"receive: bytes between exchanges are kept", {feed(b(ENQ), {}, kKeep), begin({}, b(ACK), 5000)}},

        // Send mode.
        {"send: delivered", {begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500), feed(b(ACK), b(EOT), kStop, "none")}},
        {"send: NAK to ENQ",
         {begin("ab", b(ENQ), 500), feed(b(NAK), {}, 500), expire(b(ENQ), 500), feed(b(ACK), ab, 500)}},
        {"send: five ENQs unanswered",
         repeated({begin("ab", b(ENQ), 500)}, expire(b(ENQ), 500), 4, expire(b(EOT), kStop, "error 548"))},
        {"send: conflict, bytes kept through the pause",
         {begin("ab", b(ENQ), 500), feed(b(ENQ), {}, 500, "conflict"), feed(b(ENQ), {}, kKeep),
          expire(b(ENQ), 500, "conflict"), expire(b(ENQ), 500), feed(b(ACK), ab, 500)}},
        // A stray answer starts a new series of ENQs.
        {"send: more than 100 series",
         repeated({begin("ab", b(ENQ), 500)}, feed("z", b(ENQ), 500), 100, feed("z", b(EOT), kStop, "error 548"))},
        {"send: frame unacknowledged ten times",
         repeated({begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500)}, expire(ab, 500), 9,
                 expire(b(EOT), kStop, "error 548"))},
        {"send: ENQ on the first transmission is a stray answer",
         {begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500), feed(b(ENQ), ab, 500)}},
        {"send: the peer begins its own frame",
         {begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500), expire(ab, 500), feed(b(ENQ), b(ACK), 5000, "abandoned"),
          feed(cd, b(ACK), 500), feed(b(EOT), {}, kStop, "frame 6364")}},
        {"send: giving way at once", {begin("ab", b(ENQ), 500), feed(b(ENQ), {}, kStop, "none conflict")}, true},
    };
}

} // namespace

class TestMorv2Link : public QObject
{
    Q_OBJECT
private slots:
    void table_data()
    {
        QTest::addColumn<int>("index");
        const auto all = cases();
        for (size_t i = 0; i < all.size(); ++i)
            QTest::newRow(all[i].name) << int(i);
    }

    void table()
    {
        QFETCH(int, index);
        const Case c = cases()[size_t(index)];
        Morv2Link::Config config;
        config.yieldOnConflict = c.yield;
        Morv2Link link(config);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step &s = c.steps[i];
            const Morv2Link::Actions a = s.kind == Step::Begin  ? link.begin(s.in)
                                         : s.kind == Step::Feed ? link.feed(s.in)
                                                                : link.timeout();
            const QByteArray where = "step " + QByteArray::number(int(i));
            QVERIFY2(a.write == s.write, where + ": wrote " + a.write.toHex());
            const int timer = a.timer == Morv2Link::Timer::Keep ? kKeep
                              : a.timer == Morv2Link::Timer::Stop ? kStop
                                                                  : a.timerMs;
            QVERIFY2(timer == s.timer, where + ": timer " + QByteArray::number(timer));
            QVERIFY2(describe(a) == s.outcome, where + ": " + describe(a).toLatin1());
        }
    }
};

QTEST_GUILESS_MAIN(TestMorv2Link)
#include "tst_morv2link.moc"
