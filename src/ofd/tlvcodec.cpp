#include "ofd/tlvcodec.h"

QString TlvCodec::tagName(quint8 tag)
{
    switch (tag) {
    case RxRequestVersion: return QStringLiteral("U2E_TLV_RX_REQUEST_VERSION");
    case RxResponseVersion: return QStringLiteral("U2E_TLV_RX_RESPONSE_VERSION");
    case RxConnectState0: return QStringLiteral("U2E_TLV_RX_CONNECT_STATE0");
    case RxConnectState1: return QStringLiteral("U2E_TLV_RX_CONNECT_STATE1");
    case RxData0: return QStringLiteral("U2E_TLV_RX_DATA0");
    case RxData1: return QStringLiteral("U2E_TLV_RX_DATA1");
    case TxResponseVersion: return QStringLiteral("U2E_TLV_TX_RESPONSE_VERSION");
    case TxDns: return QStringLiteral("U2E_TLV_TX_DNS");
    case TxRequestVersion: return QStringLiteral("U2E_TLV_TX_REQUEST_VERSION");
    case TxPacketSize0: return QStringLiteral("U2E_TLV_TX_PACKET_SIZE0");
    case TxPacketSize1: return QStringLiteral("U2E_TLV_TX_PACKET_SIZE1");
    case TxPort0: return QStringLiteral("U2E_TLV_TX_PORT0");
    case TxPort1: return QStringLiteral("U2E_TLV_TX_PORT1");
    case TxConnect0: return QStringLiteral("U2E_TLV_TX_CONNECT0");
    case TxConnect1: return QStringLiteral("U2E_TLV_TX_CONNECT1");
    case TxConnect0Close: return QStringLiteral("U2E_TLV_TX_CONNECT0_CLOSE");
    case TxConnect1Close: return QStringLiteral("U2E_TLV_TX_CONNECT1_CLOSE");
    case TxData0: return QStringLiteral("U2E_TLV_TX_DATA0");
    case TxData1: return QStringLiteral("U2E_TLV_TX_DATA1");
    case TxLog: return QStringLiteral("U2E_TLV_TX_LOG");
    default: return QStringLiteral("UNKNOWN (%1)").arg(tag, 2, 16, QLatin1Char('0'));
    }
}

bool TlvCodec::isKnown(quint8 tag)
{
    return !tagName(tag).startsWith(QLatin1String("UNKNOWN"));
}

bool TlvCodec::isDeviceTag(quint8 tag)
{
    switch (tag) {
    case TxResponseVersion:
    case TxDns:
    case TxRequestVersion:
    case TxPacketSize0:
    case TxPacketSize1:
    case TxPort0:
    case TxPort1:
    case TxConnect0:
    case TxConnect1:
    case TxConnect0Close:
    case TxConnect1Close:
    case TxData0:
    case TxData1:
    case TxLog:
        return true;
    default:
        return false;
    }
}

bool TlvCodec::plausibleLength(quint8 tag, int length)
{
    switch (tag) {
    case TxPort0:
    case TxPort1:
        return length == 2;
    case TxResponseVersion:
    case TxPacketSize0:
    case TxPacketSize1:
    case TxConnect0:
    case TxConnect1:
    case TxData0:
    case TxData1:
    case TxLog:
        return length >= 1;
    case TxDns:
    case TxRequestVersion:
    case TxConnect0Close:
    case TxConnect1Close:
        return true;
    default:
        return false;
    }
}

QByteArray TlvCodec::encode(quint8 tag, const QByteArray &value)
{
    const qsizetype size = qMin<qsizetype>(value.size(), kMaxValue);
    QByteArray out;
    out.reserve(size + 2);
    out.append(char(tag));
    out.append(char(quint8(size)));
    out.append(value.constData(), size);
    return out;
}

QByteArray TlvCodec::port(quint16 port)
{
    QByteArray out;
    out.append(char(port & 0xFF));
    out.append(char(port >> 8));
    return out;
}

TlvCodec::Result TlvCodec::decode(QByteArrayView bytes, bool deadlinePassed)
{
    Result result;
    if (bytes.size() < 2)
        return result;
    const int length = quint8(bytes.at(1));
    const qsizetype size = 2 + length;
    if (bytes.size() >= size) {
        result.outcome = Outcome::Complete;
        result.frame.tag = quint8(bytes.at(0));
        result.frame.value = bytes.sliced(2, length).toByteArray();
        result.used = size;
        return result;
    }
    result.have = int(bytes.size() - 2);
    result.announced = length;
    if (deadlinePassed) {
        result.outcome = Outcome::Invalid;
        result.used = bytes.size();
    }
    return result;
}
