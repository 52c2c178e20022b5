#pragma once

// A stand-in instrument for in-process tests: a QTcpServer on 127.0.0.1 and a
// free port that records every byte the panel sends, as hex text.

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>

class Instrument : public QObject
{
    Q_OBJECT
public:
    Instrument()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                m_socket = socket;
                ++m_connections;
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket] { m_received += socket->readAll(); });
            }
        });
    }

    QByteArray port() const { return QByteArray::number(m_server.serverPort()); }
    int connections() const { return m_connections; }
    // What arrived, as upper-case hex bytes separated by blanks ("A3 00").
    QString received() const { return QString::fromLatin1(m_received.toHex(' ').toUpper()); }
    void clear() { m_received.clear(); }

private:
    QTcpServer m_server;
    QTcpSocket* m_socket = nullptr;
    QByteArray m_received;
    int m_connections = 0;
};
