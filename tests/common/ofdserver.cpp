#include "ofdserver.h"

#include <QTest>

OfdServer::OfdServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &OfdServer::accept);
}

bool OfdServer::listen(const QHostAddress &address)
{
    return m_server.listen(address, 0);
}

void OfdServer::close()
{
    m_server.close();
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_sockets)) {
        if (socket)
            socket->abort();
    }
}

void OfdServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        const int index = m_sockets.size();
        m_sockets.append(socket);
        m_perConnection.append(QByteArray());
        ++m_connections;
        socket->setParent(this);
        auto replied = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, index, replied] {
            const QByteArray bytes = socket->readAll();
            m_received += bytes;
            m_perConnection[index] += bytes;
            emit dataReceived(bytes);
            if (!*replied && !m_reply.isEmpty()) {
                *replied = true;
                socket->write(m_reply);
            }
            if (m_closeAfter > 0 && m_perConnection[index].size() >= m_closeAfter)
                socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            ++m_disconnects;
            socket->deleteLater();
            emit clientDisconnected();
        });
        if (!m_greeting.isEmpty())
            socket->write(m_greeting);
        emit clientConnected();
    }
}

bool OfdServer::send(const QByteArray &bytes)
{
    for (auto it = m_sockets.crbegin(); it != m_sockets.crend(); ++it) {
        if (*it && (*it)->state() == QAbstractSocket::ConnectedState)
            return (*it)->write(bytes) == bytes.size();
    }
    return false;
}

void OfdServer::disconnectClient()
{
    for (auto it = m_sockets.crbegin(); it != m_sockets.crend(); ++it) {
        if (*it && (*it)->state() == QAbstractSocket::ConnectedState) {
            (*it)->disconnectFromHost();
            return;
        }
    }
}

int OfdServer::openConnections() const
{
    int open = 0;
    for (const QPointer<QTcpSocket> &socket : m_sockets) {
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            ++open;
    }
    return open;
}

void OfdServer::clearReceived()
{
    m_received.clear();
    for (QByteArray &bytes : m_perConnection)
        bytes.clear();
}

bool OfdServer::waitForConnections(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_connections >= count; }, timeoutMs);
}

bool OfdServer::waitForReceived(int bytes, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_received.size() >= bytes; }, timeoutMs);
}

bool OfdServer::waitForDisconnects(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_disconnects >= count; }, timeoutMs);
}
