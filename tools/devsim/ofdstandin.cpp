#include "devsim/ofdstandin.h"

#include "devsim/demodocument.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QtEndian>

#include <cstdio>

OfdStandIn::OfdStandIn(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &OfdStandIn::onNewConnection);
}

OfdStandIn::~OfdStandIn() = default;

bool OfdStandIn::listen(quint16 port)
{
    if (m_server->listen(QHostAddress::LocalHost, port))
        return true;
    m_error = m_server->errorString();
    return false;
}

quint16 OfdStandIn::port() const
{
    return m_server->serverPort();
}

void OfdStandIn::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void OfdStandIn::onReadyRead(QTcpSocket *socket)
{
    const QByteArray chunk = socket->readAll();
    m_bytesIn += chunk.size();
    QByteArray &buffer = m_pending[socket];
    buffer += chunk;

    // A connection may carry several documents one after another.
    for (;;) {
        const qint64 size = DemoDocument::documentSize(buffer);
        if (size < 0) {
            ++m_rejected;
            if (m_verbose)
                std::printf("stand-in OFD: not a document (%s...), closing the connection\n",
                            buffer.left(8).toHex(' ').constData());
            std::fflush(stdout);
            buffer.clear();
            socket->disconnectFromHost();
            return;
        }
        if (size == 0 || buffer.size() < size)
            return;
        const QByteArray document = buffer.left(size);
        buffer.remove(0, size);
        const QByteArray reply = DemoDocument::replyFor(document);
        socket->write(reply);
        socket->flush();
        m_bytesOut += reply.size();
        ++m_served;
        const quint32 sequence = qFromLittleEndian<quint32>(document.constData() + 4);
        if (m_verbose) {
            std::printf("stand-in OFD: document %u received (%lld bytes), replied with %lld bytes\n",
                        sequence, qint64(document.size()), qint64(reply.size()));
            std::fflush(stdout);
        }
        emit documentServed(sequence, int(document.size()), int(reply.size()));
    }
}
