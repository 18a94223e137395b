#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A stand-in for an OFD server on loopback: reads one document per
// connection at a time (DemoDocument) and answers each with the reply that
// DemoDocument::replyFor gives, so replies vary in size and the device's
// grants get exercised. Anything that is not a document closes the
// connection.
class OfdStandIn : public QObject
{
    Q_OBJECT
public:
    explicit OfdStandIn(QObject *parent = nullptr);
    ~OfdStandIn() override;

    // Listens on 127.0.0.1 and the given port (0: any free one).
    bool listen(quint16 port);
    quint16 port() const;
    QString errorString() const { return m_error; }

    int documentsServed() const { return m_served; }
    qint64 bytesIn() const { return m_bytesIn; }
    qint64 bytesOut() const { return m_bytesOut; }
    int rejected() const { return m_rejected; }

    // Print a line per document on standard output.
    void setVerbose(bool verbose) { m_verbose = verbose; }

signals:
    void documentServed(quint32 sequence, int documentBytes, int replyBytes);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    QTcpServer *m_server;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QString m_error;
    int m_served = 0;
    int m_rejected = 0;
    qint64 m_bytesIn = 0;
    qint64 m_bytesOut = 0;
    bool m_verbose = false;
};
