#pragma once

// The TCP client on QTcpSocket. QTcpSocket's own behaviour differs from what
// the link relies on in several ways, and this class absorbs them:
//
//  - QTcpSocket emits state changes synchronously inside connectToHost() and
//    abort(). Every event here is posted and delivered from the event loop, so
//    no handler ever runs inside a call to this class; close() blocks the
//    socket's signals around abort() and drops events still on their way.
//  - A state that comes with an event (Connected, Closing, Error) is taken
//    when its event is delivered, not when the socket reaches it: in between,
//    anything handled (a heartbeat tick, a key) would see a connected client
//    whose Connect nobody has handled yet, and its send would go out before
//    the connect sequence.
//  - QTcpSocket has no half-closed state: when the instrument closes its side
//    (FIN or RST) it goes Connected -> Closing -> Unconnected. We read what is
//    left, report it as one DataArrival, then go to Closing and raise Close,
//    and stay there until close().
//  - QTcpSocket learns how a connection attempt ended by calling connect()
//    again on the same socket. When the connection was made and then reset
//    before that call (an instrument that resets at accept, a panel that was
//    frozen), the kernel reports the reset, QTcpSocket takes it for "still
//    connecting", and its next connect() opens a new connection from a new
//    port: one request became a burst of connections. So this class makes
//    the connection itself, with a non-blocking socket whose own pending
//    error tells how the attempt ended, and hands the socket to QTcpSocket
//    only once it is connected. Each address of a host name is tried at most
//    once per request, the next only when the last made no connection
//    (refused, unreachable); a connection that was made and then reset ends
//    the request in Error. One request opens at most one connection.
//  - An address that never answers keeps a socket connecting for about a
//    minute. An attempt that has no answer within the attempt timeout, once
//    one is set, ends in Error instead, so an instrument that comes back is
//    found within seconds.
//  - write() on a socket that is not open prints a warning, and the socket
//    closes itself (an error inside a write) before its Close or Error event
//    is delivered; sendData() refuses itself unless both the last delivered
//    event and the socket itself say connected.
//  - Bytes that are never read pile up without bound; every arrival is read
//    and dropped at once.
//  - Without TCP_NODELAY a message written shortly after a heartbeat can wait
//    for a delayed ACK; with it each message leaves at once.
//  - A peer that vanishes without a word (cable pulled, power off) is found by
//    TCP keepalive and a user timeout within about ten seconds and reported as
//    an Error.
//
// Host names are resolved by QHostInfo off the GUI thread. Nothing here
// blocks: there are no waitFor* calls.

#include "base/tcpclient.h"

#include <QHostAddress>
#include <QList>
#include <QObject>

#include <chrono>

class QHostInfo;
class QSocketNotifier;
class QTcpSocket;
class QTimer;

namespace quillon::qt {

class QtTcpClient : public QObject, public TcpClient
{
public:
    explicit QtTcpClient(QObject* parent = nullptr);
    ~QtTcpClient() override;

    int state() const override;
    // Throws quillon::Failure unless the client is Closed. A host or port that
    // cannot be used ends the attempt in Error, reported from the event loop.
    void connect(const std::string& host, const std::string& port) override;
    // One write per message, or per hold; throws quillon::Failure unless
    // Connected.
    void sendData(std::span<const std::uint8_t> bytes) override;
    void holdSends() override;
    void releaseSends() override;
    void close() override;
    void setEvents(Events events) override;
    // Bytes in the network stack or the socket, or their DataArrival still
    // on its way.
    bool arrivalPending() const override;

    // How long an attempt may look up the host and connect before it is
    // given up, set by whoever makes the client; none until it is set.
    // Applies from the next connect().
    void setAttemptTimeout(std::chrono::milliseconds timeout) { m_attemptTimeout = timeout; }

    // The socket underneath, for tests that look at its buffers and options.
    const QTcpSocket& socket() const { return *m_socket; }

private:
    enum class Event
    {
        Connect,
        Close,
        DataArrival,
        Error
    };

    void onSocketStateChanged(int socketState);
    void onSocketError(int socketError);
    void onReadyRead();
    void onAttemptTimeout();
    void onLookedUp(const QHostInfo& info, unsigned generation);
    void onConnectReady();

    bool attempting() const;
    // Starts a connection to the next address left; fails the attempt when
    // none is.
    void connectToNextAddress();
    // Gives the connected socket to QTcpSocket and raises Connect.
    void handOver();
    // Stops a lookup or a connection under way, raising nothing.
    void abandonAttempt();
    void failAttempt();
    void connectionEnded(bool closedByPeer);
    // Reads every byte the socket holds and drops it; true when there were any.
    bool drain();
    void configureConnectedSocket();
    void post(Event event);
    // Takes the state the event brings, then runs its handler.
    void deliver(Event event, unsigned generation);

    QTcpSocket* m_socket;
    QTimer* m_attemptTimer;
    // The attempt under way: the host lookup, the addresses not yet tried,
    // and the socket connecting with the notifier that says when it is done.
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses;
    quint16 m_port = 0;
    qintptr m_pendingSocket = -1;
    QSocketNotifier* m_connectNotifier = nullptr;
    std::chrono::milliseconds m_attemptTimeout{0};
    Events m_events;
    // What callers see: the last transition whose event has been delivered
    // (or that has none).
    int m_state = Closed;
    // Where the socket is as this class has handled it; ahead of m_state
    // while an event is on its way.
    int m_phase = Closed;
    // Bumped by close() and connect(): events posted before are stale and are
    // dropped on delivery.
    unsigned m_generation = 0;
    // Arrivals that come before the last DataArrival was handled are covered
    // by it; this keeps a flood from filling the event queue.
    bool m_dataArrivalPending = false;
    // Open holds: while above zero, messages wait in the socket's buffer.
    int m_holds = 0;
};

} // namespace quillon::qt
