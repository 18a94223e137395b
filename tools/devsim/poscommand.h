#pragma once

#include <QByteArray>

// The application commands the simulated point-of-sale application sends
// and the simulated device answers: command 0x30 with a sequence byte and a
// few bytes of payload; the answer repeats the command and sequence after a
// status byte 0x00, with the payload XORed by 0x5A, so an answer proves it
// came from the device and not from an echo.
class PosCommand
{
public:
    static constexpr char kCommand = 0x30;

    static QByteArray request(quint8 sequence);
    // The device's answer to a request; empty when it is not a command.
    static QByteArray answer(const QByteArray &request);
    static bool isAnswerTo(const QByteArray &request, const QByteArray &answer);
};
