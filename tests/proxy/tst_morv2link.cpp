// The protocol-2 link state machine: byte sequences and time-outs in,
// bytes written, time-outs armed and outcomes out, with the service's limits.
#include "proxy/morv2link.h"

#include <QtTest>

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
{
    return {Step::Begin, request, write, timer, outcome};
}
Step feed(const QByteArray &bytes, const QByteArray &write, int timer, const QString &outcome = {})
{
    return {Step::Feed, bytes, write, timer, outcome};
}
Step expire(const QByteArray &write, int timer, const QString &outcome = {})
{
    return {Step::Timeout, {}, write, timer, outcome};
}

QByteArray b(char c, int n = 1)
{
    return QByteArray(n, c);
}

QString describe(const Morv2Link::Actions &a)
{
    QStringList parts;
    if (a.finished) {
        if (a.error)
            parts << QStringLiteral("error %1").arg(a.error);
        else if (a.frame.isEmpty())
            parts << QStringLiteral("none");
        else
            parts << QStringLiteral("frame ") + QString::fromLatin1(a.frame.toHex());
    }
    if (a.conflict)
        parts << QStringLiteral("conflict");
    if (a.abandoned)
        parts << QStringLiteral("abandoned");
    if (a.badCheck)
        parts << QStringLiteral("badcheck");
    return parts.join(QLatin1Char(' '));
}

struct Case
{
    const char *name;
    std::vector<Step> steps;
    bool yield = false;
};

const QByteArray ab = Morv2Frame::build("ab");

std::vector<Case> cases()
{
    std::vector<Case> all;
    // Receive mode.
    all.push_back({"receive: nobody sends", {begin({}, {}, 10), expire({}, kStop, "none")}});
    all.push_back({"receive: whole frame",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(ab, b(ACK), 500),
                    feed(b(EOT), {}, kStop, "frame 6162")}});
    all.push_back({"receive: tiny and short pieces",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(b(STX), {}, 500), feed("a", {}, 500),
                    feed(ab.mid(2, 1), {}, 500), feed(b(ETX), {}, 500), feed(ab.right(1), b(ACK), 500),
                    expire({}, kStop, "frame 6162")}});
    all.push_back({"receive: complete-and-short, the rest kept for the next exchange",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000),
                    feed(ab + b(EOT) + b(ENQ) + b(STX), b(ACK), kStop, "frame 6162"),
                    begin({}, b(ACK), 500)}});
    all.push_back({"receive: garbage before ENQ and STX",
                   {begin({}, {}, 10), feed(QByteArray::fromHex("0011"), {}, 10), feed(b(ENQ), b(ACK), 5000),
                    feed("zz" + ab, b(ACK), 500), feed(b(EOT), {}, kStop, "frame 6162")}});
    all.push_back({"receive: 100 stray bytes instead of ENQ", {begin({}, {}, 10), feed(b('x', 100), {}, kStop, "error 384")}});
    all.push_back({"receive: 99 stray bytes are tolerated",
                   {begin({}, {}, 10), feed(b('x', 99), {}, 10), feed(b(ENQ), b(ACK), 5000)}});
    all.push_back({"receive: 100 stray bytes instead of STX",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(b('x', 100), {}, kStop, "none")}});
    all.push_back({"receive: silence after our ACK",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), expire({}, kStop, "error 421")}});
    all.push_back({"receive: ENQ repeated",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(b(ENQ, 10), b(ACK, 10), 5000),
                    feed(b(ENQ), {}, kStop, "error 531")}});
    {
        QByteArray bad = ab;
        bad[bad.size() - 1] = char(bad.back() ^ 0x40);
        all.push_back({"receive: bad check byte, then the frame again",
                       {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(bad, b(NAK), 5000, "badcheck"),
                        feed(ab, b(ACK), 500), feed(b(EOT), {}, kStop, "frame 6162")}});
        std::vector<Step> steps{begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000)};
        for (int i = 0; i < 10; ++i)
            steps.push_back(feed(bad, b(NAK), 5000, "badcheck"));
        steps.push_back(feed(bad, b(NAK), kStop, "error 537 badcheck"));
        all.push_back({"receive: eleventh failed reception", steps});
    }
    all.push_back({"receive: lost byte, silence inside the frame",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(ab.left(3), {}, 500), expire({}, 5000),
                    feed(ab, b(ACK), 500)}});
    {
        const QByteArray largest(Morv2Frame::kMaxData, Morv2Frame::DLE);
        all.push_back({"receive: 1024 data bytes",
                       {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(Morv2Frame::build(largest), b(ACK), 500)}});
        all.push_back({"receive: 1025 data bytes",
                       {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000),
                        feed(Morv2Frame::build(largest + 'x').left(2 * Morv2Frame::kMaxData + 2), {}, 5000)}});
    }
    {
        std::vector<Step> steps{begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(ab, b(ACK), 500)};
        steps.push_back(feed(Morv2Frame::build("cd"), b(ACK), 500));   // a repeat replaces the first
        steps.push_back(feed(b(EOT), {}, kStop, "frame 6364"));
        all.push_back({"receive: acknowledged frame repeated", steps});
        std::vector<Step> many{begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000)};
        for (int i = 0; i < 11; ++i)
            many.push_back(feed(ab, b(ACK), 500));
        many.push_back(feed(b(STX), {}, kStop, "error 543"));
        all.push_back({"receive: acknowledged frame repeated too often", many});
    }
    all.push_back({"receive: one stray byte after our ACK",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(ab + "z", b(ACK), 500),
                    expire({}, kStop, "frame 6162")}});
    all.push_back({"receive: two stray bytes after our ACK",
                   {begin({}, {}, 10), feed(b(ENQ), b(ACK), 5000), feed(ab + "zz", b(ACK), 5000)}});
    all.push_back({"receive: bytes between exchanges are kept",
                   {feed(b(ENQ), {}, kKeep), begin({}, b(ACK), 5000)}});

    // Send mode.
    all.push_back({"send: delivered",
                   {begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500), feed(b(ACK), b(EOT), kStop, "none")}});
    all.push_back({"send: NAK to ENQ",
                   {begin("ab", b(ENQ), 500), feed(b(NAK), {}, 500), expire(b(ENQ), 500), feed(b(ACK), ab, 500)}});
    all.push_back({"send: five ENQs unanswered",
                   {begin("ab", b(ENQ), 500), expire(b(ENQ), 500), expire(b(ENQ), 500), expire(b(ENQ), 500),
                    expire(b(ENQ), 500), expire(b(EOT), kStop, "error 548")}});
    all.push_back({"send: conflict, bytes kept through the pause",
                   {begin("ab", b(ENQ), 500), feed(b(ENQ), {}, 500, "conflict"), feed(b(ENQ), {}, kKeep),
                    expire(b(ENQ), 500, "conflict"), expire(b(ENQ), 500), feed(b(ACK), ab, 500)}});
    all.push_back({"send: stray answer starts a new series",
                   {begin("ab", b(ENQ), 500), expire(b(ENQ), 500), feed("z", b(ENQ), 500), expire(b(ENQ), 500)}});
    {
        std::vector<Step> steps{begin("ab", b(ENQ), 500)};
        for (int i = 0; i < 100; ++i)
            steps.push_back(feed("z", b(ENQ), 500));
        steps.push_back(feed("z", b(EOT), kStop, "error 548"));
        all.push_back({"send: more than 100 series", steps});
    }
    {
        std::vector<Step> steps{begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500)};
        for (int i = 0; i < 9; ++i)
            steps.push_back(expire(ab, 500));
        steps.push_back(expire(b(EOT), kStop, "error 548"));
        all.push_back({"send: frame unacknowledged ten times", steps});
    }
    all.push_back({"send: ENQ on the first transmission is a stray answer",
                   {begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500), feed(b(ENQ), ab, 500)}});
    all.push_back({"send: the peer begins its own frame",
                   {begin("ab", b(ENQ), 500), feed(b(ACK), ab, 500), expire(ab, 500),
                    feed(b(ENQ), b(ACK), 5000, "abandoned"), feed(Morv2Frame::build("cd"), b(ACK), 500),
                    feed(b(EOT), {}, kStop, "frame 6364")}});
    all.push_back({"send: giving way at once", {begin("ab", b(ENQ), 500), feed(b(ENQ), {}, kStop, "none conflict")}, true});
    return all;
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
