#pragma once

// A server of text lines on the loopback addresses, for scripts on this
// machine: each client's lines go to a conversation of its own, and each line
// gives the reply lines that go back. It knows nothing of what the lines say.
//
// What a client can do to the panel is bounded:
//  - it listens on 127.0.0.1 and ::1 only, so no other machine can reach it;
//  - at most maxClients at once; the next is closed as soon as it is accepted;
//  - one line is handled at a time, each as its own pass of the event loop,
//    so a client that floods lines cannot hold up a heartbeat or a key; a
//    flooding client is slowed down by TCP itself, as its bytes are read
//    only as fast as its lines are handled;
//  - a line longer than maxLineBytes is dropped up to its end and reported to
//    the conversation (lineTooLong);
//  - a client whose replies pile up unread beyond maxUnsentBytes is closed;
//  - a client that has said no whole line within silentClientTimeout of its
//    connection is closed: it would hold a place and say nothing;
//  - a line cut short by the client's disconnection is dropped.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace quillon::qt {

class QtLineServer : public QObject
{
public:
    struct Limits
    {
        int maxClients = 4;
        qsizetype maxLineBytes = 1024;
        qint64 maxUnsentBytes = 64 * 1024;
        std::chrono::milliseconds silentClientTimeout{30000};
    };

    // One client's side of the conversation.
    struct Conversation
    {
        // A line without its LF; returns the reply lines, without LF.
        std::function<std::vector<std::string>(std::string_view line)> line;
        std::function<void()> lineTooLong;
    };

    QtLineServer(std::function<Conversation()> newConversation, Limits limits,
                 QObject* parent = nullptr);
    ~QtLineServer() override;

    // Listens on 127.0.0.1 and, where the machine has it, on ::1 at the same
    // port (0: one the system picks). False when 127.0.0.1 cannot be had.
    bool listen(quint16 port);
    quint16 port() const;
    int clientCount() const { return int(m_clients.size()); }

private:
    struct Client;

    void accept(QTcpServer* server);
    void schedule();
    // Handles one waiting line of the next client that has one.
    void handleNextLine();
    // Reads the client's next whole line into `line`; drops an over-long one.
    bool takeLine(Client& client, std::string& line);
    void drop(Client* client);

    std::function<Conversation()> m_newConversation;
    Limits m_limits;
    std::vector<QTcpServer*> m_servers;
    std::list<std::unique_ptr<Client>> m_clients;
    QTimer m_pump;
};

} // namespace quillon::qt
