#include "core/hexdump.h"

QString hexDump(const QByteArray &data)
{
    static const char digits[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(data.size() * 3 + 16);
    for (unsigned char byte : data) {
        if (!text.isEmpty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return QString::fromLatin1(text) + QStringLiteral(" (%1 bytes)").arg(data.size());
}
