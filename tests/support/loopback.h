#pragma once

// Instruments on 127.0.0.1 for the in-process tests of the TCP client, the
// link and the window: a peer that accepts and records, a port that refuses,
// and a port that never answers.
// All of them take a port the system picks; nothing here leaves loopback.

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <string>

#if defined(Q_OS_UNIX)
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quillon::test {

inline std::string portText(quint16 port)
{
    return std::to_string(port);
}

// The instrument's side of one connection at a time.
class Peer
{
public:
    Peer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                ++m_accepted;
                m_socket = s;
                QObject::connect(s, &QIODevice::readyRead,
                                 [this, s] { m_received += s->readAll(); });
                QObject::connect(s, &QAbstractSocket::disconnected, [this, s] {
                    if (s->isOpen())
                        m_received += s->readAll();
                    ++m_peerGone;
                });
            }
        });
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("cannot listen on 127.0.0.1");
    }
    ~Peer()
    {
        // The accepted sockets would report their end into members that are
        // already gone.
        const auto sockets = m_server.findChildren<QTcpSocket*>();
        for (QTcpSocket* s : sockets) {
            s->blockSignals(true);
            s->abort();
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    quint16 port() const { return m_server.serverPort(); }
    std::string portText() const { return test::portText(port()); }
    // Connections accepted so far.
    int accepted() const { return m_accepted; }
    // How often the client side went away.
    int peerGone() const { return m_peerGone; }
    QByteArray received() const { return m_received; }
    // What arrived, as upper-case hex bytes separated by blanks ("A3 00").
    QString receivedHex() const { return QString::fromLatin1(m_received.toHex(' ').toUpper()); }
    void clearReceived() { m_received.clear(); }
    QTcpSocket* socket() const { return m_socket; }
    bool connected() const
    {
        return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    }

    void send(const QByteArray& bytes)
    {
        m_socket->write(bytes);
        m_socket->flush();
    }
    // FIN: the instrument closes its side.
    void closeConnection() { m_socket->disconnectFromHost(); }
    // The instrument stops taking new connections.
    void stopListening() { m_server.close(); }
    // RST: the instrument drops the connection.
    void resetConnection()
    {
#if defined(Q_OS_UNIX)
        linger value{1, 0};
        ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &value,
                     sizeof value);
#endif
        m_socket->abort();
    }

private:
    QPointer<QTcpSocket> m_socket;
    QByteArray m_received;
    int m_accepted = 0;
    int m_peerGone = 0;
    QTcpServer m_server;
};

#if defined(Q_OS_UNIX)
// A socket bound to 127.0.0.1 but not listening: connections to its port are
// refused at once, and the port cannot be taken by anyone else meanwhile.
class RefusingPort
{
public:
    RefusingPort()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("cannot bind on 127.0.0.1");
        m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(m_fd); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    quint16 port() const { return m_port; }
    std::string portText() const { return test::portText(m_port); }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};
#endif

#if defined(Q_OS_LINUX)
// A listening socket whose accept queue (backlog 0) is already full with one
// connection that is never accepted. Linux drops further SYNs to it, so a
// connection attempt hangs exactly as to an address that never answers.
class UnansweredPort
{
public:
    UnansweredPort()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 0) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("cannot listen on 127.0.0.1");
        m_port = ntohs(address.sin_port);
        // Once the filler is connected the queue is full.
        m_filler.connectToHost(QHostAddress::LocalHost, m_port);
        if (!QTest::qWaitFor([this] { return m_filler.state() == QAbstractSocket::ConnectedState; },
                             5000))
            qFatal("the filler connection did not come up");
    }
    ~UnansweredPort() { ::close(m_fd); }
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;

    quint16 port() const { return m_port; }
    std::string portText() const { return test::portText(m_port); }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    QTcpSocket m_filler;
};
#endif

} // namespace quillon::test
