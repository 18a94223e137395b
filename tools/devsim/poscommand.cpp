#include "devsim/poscommand.h"

QByteArray PosCommand::request(quint8 sequence)
{
    QByteArray out;
    out.append(kCommand);
    out.append(char(sequence));
    // A payload that holds every byte the framings escape or stuff.
    const char special[] = {char(0xFE), char(0xFD), 0x02, 0x03, 0x05, 0x06, 0x10, char(0xDA)};
    for (int i = 0; i < 8 + sequence % 8; ++i)
        out.append(i < 8 ? special[(i + sequence) % 8] : char(sequence * 31 + i));
    return out;
}

QByteArray PosCommand::answer(const QByteArray &request)
{
    if (request.size() < 2 || request.at(0) != kCommand)
        return {};
    QByteArray out;
    out.append(kCommand);
    out.append('\0');
    out.append(request.at(1));
    for (qsizetype i = 2; i < request.size(); ++i)
        out.append(char(request.at(i) ^ 0x5A));
    return out;
}

bool PosCommand::isAnswerTo(const QByteArray &request, const QByteArray &answerBytes)
{
    return !answerBytes.isEmpty() && answerBytes == answer(request);
}
