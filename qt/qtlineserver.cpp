#include "qt/qtlineserver.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

namespace quillon::qt {

struct QtLineServer::Client
{
    QTcpSocket* socket = nullptr; // deleted later, with its timer
    QTimer* silence = nullptr;    // runs until the first whole line
    Conversation conversation;
    // Bytes read and not yet handled: at most a few lines' worth, so that a
    // client that floods waits in TCP, not in the panel's memory.
    std::string pending;
    // Inside a line that was too long: dropped up to its LF.
    bool discarding = false;
    // The client disconnected: its whole lines are still handled, replies
    // go nowhere.
    bool gone = false;
};

QtLineServer::QtLineServer(std::function<Conversation()> newConversation, Limits limits,
                           QObject* parent)
    : QObject(parent), m_newConversation(std::move(newConversation)), m_limits(limits)
{
    m_pump.setSingleShot(true);
    m_pump.setInterval(0);
    QObject::connect(&m_pump, &QTimer::timeout, this, &QtLineServer::handleNextLine);
}

QtLineServer::~QtLineServer()
{
    for (const auto& client : m_clients) {
        client->socket->disconnect(this);
        client->socket->abort();
    }
}

bool QtLineServer::listen(quint16 port)
{
    const auto listenOn = [this](const QHostAddress& address, quint16 at) {
        auto* server = new QTcpServer(this);
        // Loopback is reached directly, whatever proxy the desktop sets.
        server->setProxy(QNetworkProxy::NoProxy);
        if (!server->listen(address, at)) {
            delete server;
            return quint16(0);
        }
        QObject::connect(server, &QTcpServer::newConnection, this,
                         [this, server] { accept(server); });
        m_servers.push_back(server);
        return server->serverPort();
    };
    const quint16 bound = listenOn(QHostAddress(QHostAddress::LocalHost), port);
    if (bound == 0)
        return false;
    // A machine without IPv6 has no ::1; 127.0.0.1 is enough then.
    listenOn(QHostAddress(QHostAddress::LocalHostIPv6), bound);
    return true;
}

quint16 QtLineServer::port() const
{
    return m_servers.empty() ? 0 : m_servers.front()->serverPort();
}

void QtLineServer::accept(QTcpServer* server)
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (clientCount() >= m_limits.maxClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_unique<Client>();
        Client* raw = client.get();
        client->socket = socket;
        client->conversation = m_newConversation();
        // Bounded, so that Qt stops reading a client whose lines wait.
        socket->setReadBufferSize(4 * m_limits.maxLineBytes);
        QObject::connect(socket, &QIODevice::readyRead, this, &QtLineServer::schedule);
        QObject::connect(socket, &QAbstractSocket::disconnected, this, [this, raw] {
            // What it sent before it went is still handled, up to its last LF.
            if (raw->socket->isOpen()) {
                const QByteArray rest = raw->socket->readAll();
                raw->pending.append(rest.constData(), std::size_t(rest.size()));
            }
            raw->gone = true;
            schedule();
        });
        client->silence = new QTimer(socket);
        client->silence->setSingleShot(true);
        QObject::connect(client->silence, &QTimer::timeout, this, [this, raw] { drop(raw); });
        client->silence->start(m_limits.silentClientTimeout);
        m_clients.push_back(std::move(client));
    }
}

void QtLineServer::schedule()
{
    if (!m_pump.isActive())
        m_pump.start();
}

bool QtLineServer::takeLine(Client& client, std::string& line)
{
    QTcpSocket& socket = *client.socket;
    const auto capacity = std::size_t(4 * m_limits.maxLineBytes);
    for (;;) {
        if (socket.isOpen() && client.pending.size() < capacity) {
            const QByteArray more = socket.read(qint64(capacity - client.pending.size()));
            client.pending.append(more.constData(), std::size_t(more.size()));
        }
        const std::size_t lf = client.pending.find('\n');
        if (client.discarding) {
            client.pending.erase(0, lf == std::string::npos ? std::string::npos : lf + 1);
            if (lf == std::string::npos)
                return false;
            // A whole line, if an over-long one: the client has spoken.
            client.silence->stop();
            client.discarding = false;
            continue;
        }
        const auto limit = std::size_t(m_limits.maxLineBytes);
        if ((lf == std::string::npos && client.pending.size() > limit) ||
            (lf != std::string::npos && lf > limit)) {
            client.discarding = true;
            if (client.conversation.lineTooLong)
                client.conversation.lineTooLong();
            continue;
        }
        if (lf == std::string::npos)
            return false;
        line.assign(client.pending, 0, lf);
        client.pending.erase(0, lf + 1);
        return true;
    }
}

void QtLineServer::handleNextLine()
{
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client& client = **it;
        std::string line;
        if (!takeLine(client, line)) {
            auto next = std::next(it);
            if (client.gone)
                drop(&client);
            it = next;
            continue;
        }
        // It has spoken: it may stay as long as it likes.
        client.silence->stop();
        const std::vector<std::string> replies =
            client.conversation.line ? client.conversation.line(line) : std::vector<std::string>();
        // The others take their turn before this client's next line.
        m_clients.splice(m_clients.end(), m_clients, it);
        if (!client.gone && client.socket->state() == QAbstractSocket::ConnectedState) {
            for (const std::string& reply : replies) {
                client.socket->write(reply.data(), qint64(reply.size()));
                client.socket->write("\n", 1);
            }
            if (client.socket->bytesToWrite() > m_limits.maxUnsentBytes)
                drop(&client);
        }
        // One line a pass: timers and the instrument's bytes come between.
        schedule();
        return;
    }
}

void QtLineServer::drop(Client* client)
{
    const auto it = std::find_if(m_clients.begin(), m_clients.end(),
                                 [client](const auto& c) { return c.get() == client; });
    if (it == m_clients.end())
        return;
    QTcpSocket* socket = client->socket;
    m_clients.erase(it);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

} // namespace quillon::qt
