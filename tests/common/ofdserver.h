#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A loopback TCP server standing in for an OFD server: it accepts any
// number of connections, records everything it receives, and answers with
// bytes the test chose (on connection, on received data, or on demand).
class OfdServer : public QObject
{
    Q_OBJECT
public:
    explicit OfdServer(QObject *parent = nullptr);

    // Listens on 127.0.0.1 (or the given loopback address), any free port.
    bool listen(const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const { return m_server.serverPort(); }
    QHostAddress address() const { return m_server.serverAddress(); }
    void close();

    // Sent to every new connection as soon as it is accepted.
    void setGreeting(const QByteArray &bytes) { m_greeting = bytes; }
    // Sent once per connection after its first received bytes.
    void setReply(const QByteArray &bytes) { m_reply = bytes; }
    // Closes a connection right after it received this many bytes (0: never).
    void setCloseAfter(int bytes) { m_closeAfter = bytes; }

    // Writes to the latest connection; false when none is open.
    bool send(const QByteArray &bytes);
    // Closes the latest connection from the server side.
    void disconnectClient();

    int connectionCount() const { return m_connections; }
    int openConnections() const;
    // Everything received, over all connections, in arrival order.
    QByteArray received() const { return m_received; }
    // Everything received on connection i (0-based, in accept order).
    QByteArray receivedOn(int i) const { return m_perConnection.value(i); }
    void clearReceived();

    // Bounded waits that keep the event loop running.
    bool waitForConnections(int count, int timeoutMs = 30000);
    bool waitForReceived(int bytes, int timeoutMs = 30000);
    bool waitForDisconnects(int count, int timeoutMs = 30000);

signals:
    void clientConnected();
    void dataReceived(const QByteArray &bytes);
    void clientDisconnected();

private:
    void accept();

    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_sockets;
    QList<QByteArray> m_perConnection;
    QByteArray m_received;
    QByteArray m_greeting;
    QByteArray m_reply;
    int m_closeAfter = 0;
    int m_connections = 0;
    int m_disconnects = 0;
};
