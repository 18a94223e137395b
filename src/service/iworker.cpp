#include "service/iworker.h"

#include <QCoreApplication>

#include <unistd.h>

void sleepProcessingEvents(int count)
{
    for (int i = 0; i < count; ++i) {
        usleep(1000);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

QString hexDump(const QByteArray &data)
{
    QString text;
    text.reserve(data.size() * 3 + 16);
    for (unsigned char byte : data)
        text += QObject::tr("%1 ").arg(byte, 2, 16, QLatin1Char('0'));
    return text.trimmed().toUpper() + QObject::tr(" (%1 bytes)").arg(data.size());
}
