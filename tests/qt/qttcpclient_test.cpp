// The TCP client's state machine against real sockets on 127.0.0.1: the
// states and events the link relies on, and the QTcpSocket habits the client
// has to hide (synchronous signals, buffered writes, no half-close, unread
// bytes piling up, minute-long connection attempts).

#include "base/failure.h"
#include "qt/qttcpclient.h"
#include "tests/support/loopback.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

#if defined(Q_OS_LINUX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using quillon::Failure;
using quillon::TcpClient;
using quillon::qt::QtTcpClient;
using namespace quillon::test;
using namespace std::chrono_literals;

namespace {

const std::uint8_t kHeartbeat[] = {0x7F};

// Records the client's events, and whether any of them came while the test
// was inside a call to the client: that must never happen.
class Recorder
{
public:
    explicit Recorder(QtTcpClient& client) : m_client(client)
    {
        client.setEvents({[this] { record("Connect"); }, [this] { record("Close"); },
                          [this] { record("DataArrival"); }, [this] { record("Error"); },
                          // A state change is reported outside calls too.
                          [this] { m_eventsInsideCalls += m_depth > 0 ? 1 : 0; }});
    }

    // Runs `call` as a call into the client.
    template <class Call> void inside(Call&& call)
    {
        ++m_depth;
        try {
            call();
        } catch (...) {
            --m_depth;
            throw;
        }
        --m_depth;
    }
    void connect(const std::string& host, const std::string& port)
    {
        inside([&] { m_client.connect(host, port); });
    }
    void close()
    {
        inside([&] { m_client.close(); });
    }
    void send()
    {
        inside([&] { m_client.sendData(kHeartbeat); });
    }

    QString log() const { return m_log.join(u' '); }
    int count(const char* event) const { return m_log.count(QString::fromLatin1(event)); }
    int eventsInsideCalls() const { return m_eventsInsideCalls; }
    void clear() { m_log.clear(); }
    // Lets a handler act on the client, as the link's handlers do.
    std::function<void(const QString&)> onEvent;

private:
    void record(const char* event)
    {
        if (m_depth > 0)
            ++m_eventsInsideCalls;
        m_log << QString::fromLatin1(event);
        if (onEvent)
            onEvent(m_log.last());
    }

    QtTcpClient& m_client;
    QStringList m_log;
    int m_depth = 0;
    int m_eventsInsideCalls = 0;
};

// FailedNow: the attempt failed inside the call; its Error, and with it the
// Error state, is still to come.
enum class Situation
{
    Closed,
    Connecting,
    Connected,
    PeerClosed,
    Failed,
    FailedNow
};

#if defined(Q_OS_LINUX)
// An instrument that resets every connection as it accepts it, on a thread of
// its own, so that it goes on while the test's thread is stalled.
class ResettingServer
{
public:
    ResettingServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 16) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("cannot listen on 127.0.0.1");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            // shutdown() in the destructor ends the accept with an error.
            for (int c; (c = ::accept(m_fd, nullptr, nullptr)) >= 0;) {
                ++m_accepted;
                const linger reset{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(c);
            }
        });
    }
    ~ResettingServer()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    ResettingServer(const ResettingServer&) = delete;
    ResettingServer& operator=(const ResettingServer&) = delete;

    std::string portText() const { return quillon::test::portText(m_port); }
    int accepted() const { return m_accepted; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};
#endif

} // namespace

Q_DECLARE_METATYPE(Situation)

class QtTcpClientTest : public QObject
{
    Q_OBJECT

private:
    // Brings `client` into `situation` against `peer`.
    static void reach(Situation situation, QtTcpClient& client, Recorder& rec, Peer& peer);

private Q_SLOTS:
    void connectsAndRaisesConnectFromTheEventLoop_data();
    void connectsAndRaisesConnectFromTheEventLoop();
    void stateMovesOnlyWithItsEvent_data();
    void stateMovesOnlyWithItsEvent();
    void connectOnlyFromClosed_data();
    void connectOnlyFromClosed();
    void sendOutsideConnectedFailsAtOnce_data();
    void sendOutsideConnectedFailsAtOnce();
    void sendWhileConnectingIsNeverSentLater();
    void heldSendsLeaveTogether_data();
    void heldSendsLeaveTogether();
    void closeIsImmediateAndSilent_data();
    void closeIsImmediateAndSilent();
    void refusedAttemptEndsInError();
    void unansweredAttemptGivesUp();
    void unusableHostOrPortFailsFromTheEventLoop_data();
    void unusableHostOrPortFailsFromTheEventLoop();
    void peerClosingItsSideGivesClosing_data();
    void peerClosingItsSideGivesClosing();
    void eachArrivalRaisesDataArrival();
    void arrivalPendingUntilItsEventIsHandled();
    void oneRequestOpensAtMostOneConnection_data();
    void oneRequestOpensAtMostOneConnection();
    void sendOnASocketThatClosedItselfFailsQuietly();
    void floodIsReadAndDropped();
    void socketOptionsOnConnect();
    void handlersMayCloseAndReconnect();
    void destroyedWithEventsOnTheirWay();
};

void QtTcpClientTest::reach(Situation situation, QtTcpClient& client, Recorder& rec, Peer& peer)
{
    switch (situation) {
    case Situation::Closed:
        break;
    case Situation::Connecting:
        // QTcpSocket cannot finish connecting inside the call, so right
        // after it the attempt is still under way.
        rec.connect("127.0.0.1", peer.portText());
        QCOMPARE(client.state(), int(TcpClient::Connecting));
        break;
    case Situation::Connected:
        rec.connect("127.0.0.1", peer.portText());
        QTRY_COMPARE(rec.log(), QStringLiteral("Connect"));
        QTRY_VERIFY(peer.connected());
        break;
    case Situation::PeerClosed:
        reach(Situation::Connected, client, rec, peer);
        peer.closeConnection();
        QTRY_COMPARE(rec.log(), QStringLiteral("Connect Close"));
        break;
    case Situation::Failed:
        rec.connect("", peer.portText());
        QTRY_COMPARE(rec.log(), QStringLiteral("Error"));
        break;
    case Situation::FailedNow:
        rec.connect("", peer.portText());
        QCOMPARE(client.state(), int(TcpClient::ResolvingHost));
        break;
    }
}

void QtTcpClientTest::connectsAndRaisesConnectFromTheEventLoop_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("stateAfterCall");
    QTest::newRow("address") << QStringLiteral("127.0.0.1") << int(TcpClient::Connecting);
    // A name is looked up off the GUI thread first.
    QTest::newRow("name") << QStringLiteral("localhost") << int(TcpClient::ResolvingHost);
}

void QtTcpClientTest::connectsAndRaisesConnectFromTheEventLoop()
{
    QFETCH(QString, host);
    QFETCH(int, stateAfterCall);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);

    rec.connect(host.toStdString(), peer.portText());
    QCOMPARE(client.state(), stateAfterCall);
    QCOMPARE(rec.log(), QString());

    QTRY_COMPARE(rec.log(), QStringLiteral("Connect"));
    QCOMPARE(client.state(), int(TcpClient::Connected));
    rec.send();
    QTRY_COMPARE(peer.received(), QByteArray("\x7F"));
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::stateMovesOnlyWithItsEvent_data()
{
    // How the change comes, the event it brings and the state with it; until
    // that event is delivered the client reads as it did before the change:
    // an attempt under way, or connected.
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("after");
    QTest::newRow("connect") << QStringLiteral("connect") << QStringLiteral("Connect")
                             << int(TcpClient::Connected);
    QTest::newRow("peer closes") << QStringLiteral("peer closes") << QStringLiteral("Close")
                                 << int(TcpClient::Closing);
#if defined(Q_OS_UNIX)
    QTest::newRow("refused") << QStringLiteral("refused") << QStringLiteral("Error")
                             << int(TcpClient::Error);
#endif
}

void QtTcpClientTest::stateMovesOnlyWithItsEvent()
{
    // Between the socket's change and the delivery of its event the event
    // loop may handle anything: a heartbeat tick, a key. Whatever it
    // handles must see the state the last event left, and must not get a
    // send through on a connection whose Connect nobody has handled yet.
    QFETCH(QString, how);
    QFETCH(QString, event);
    QFETCH(int, after);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    std::string port = peer.portText();
#if defined(Q_OS_UNIX)
    RefusingPort refusing;
    if (how == QStringLiteral("refused"))
        port = refusing.portText();
#endif
    if (how == QStringLiteral("peer closes")) {
        reach(Situation::Connected, client, rec, peer);
        rec.clear();
    }

    // Runs right after the client has handled the socket's change, in the
    // same signal, before the event loop delivers anything.
    QList<int> seen;
    bool sent = false;
    auto* socket = const_cast<QTcpSocket*>(&client.socket());
    const auto look = [&] {
        if (!rec.log().isEmpty())
            return;
        seen << client.state();
        try {
            client.sendData(kHeartbeat);
            sent = true;
        } catch (const Failure&) {
        }
    };
    QObject::connect(socket, &QAbstractSocket::stateChanged, socket, look);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, look);
    int stateAtEvent = -1;
    rec.onEvent = [&](const QString&) {
        if (stateAtEvent < 0)
            stateAtEvent = client.state();
    };

    if (how == QStringLiteral("peer closes"))
        peer.closeConnection();
    else
        rec.connect("127.0.0.1", port);

    QTRY_COMPARE(rec.log(), event);
    // A refused attempt never reaches the socket underneath, which then has
    // no change to report before the Error.
    QVERIFY(!seen.isEmpty() || how == QStringLiteral("refused"));
    const QList<int> before = how == QStringLiteral("peer closes")
                                  ? QList<int>{TcpClient::Connected}
                                  : QList<int>{TcpClient::ResolvingHost, TcpClient::Connecting};
    for (const int state : std::as_const(seen))
        QVERIFY2(before.contains(state),
                 qPrintable(QStringLiteral("read %1 before its event").arg(state)));
    QVERIFY(!sent || how == QStringLiteral("peer closes"));
    QCOMPARE(stateAtEvent, after);
    QCOMPARE(client.state(), after);
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::connectOnlyFromClosed_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::addColumn<int>("state");
    QTest::newRow("connecting") << Situation::Connecting << int(TcpClient::Connecting);
    QTest::newRow("connected") << Situation::Connected << int(TcpClient::Connected);
    QTest::newRow("peer closed") << Situation::PeerClosed << int(TcpClient::Closing);
    QTest::newRow("failed") << Situation::Failed << int(TcpClient::Error);
}

void QtTcpClientTest::connectOnlyFromClosed()
{
    QFETCH(Situation, situation);
    QFETCH(int, state);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(situation, client, rec, peer);

    QVERIFY_THROWS_EXCEPTION(Failure, rec.connect("127.0.0.1", peer.portText()));
    QCOMPARE(client.state(), state);

    rec.close();
    rec.clear();
    rec.connect("127.0.0.1", peer.portText());
    QTRY_COMPARE(rec.log(), QStringLiteral("Connect"));
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::sendOutsideConnectedFailsAtOnce_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::newRow("closed") << Situation::Closed;
    QTest::newRow("connecting") << Situation::Connecting;
    QTest::newRow("peer closed") << Situation::PeerClosed;
    QTest::newRow("failed") << Situation::Failed;
}

void QtTcpClientTest::sendOutsideConnectedFailsAtOnce()
{
    QFETCH(Situation, situation);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(situation, client, rec, peer);
    const int state = client.state();

    QVERIFY_THROWS_EXCEPTION(Failure, rec.send());
    QCOMPARE(client.state(), state);
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::sendWhileConnectingIsNeverSentLater()
{
    // QTcpSocket would keep a write made while connecting and send it once
    // connected: a heartbeat refused now must not turn up later.
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    rec.connect("127.0.0.1", peer.portText());
    QVERIFY_THROWS_EXCEPTION(Failure, rec.send());
    QTRY_COMPARE(rec.log(), QStringLiteral("Connect"));

    const std::uint8_t marker[] = {0xA3, 0x00};
    rec.inside([&] { client.sendData(marker); });
    QTRY_COMPARE(peer.received(), QByteArray("\xA3\x00", 2));
}

void QtTcpClientTest::heldSendsLeaveTogether_data()
{
    // How the messages end: holds opened (nested), then released or the
    // client closed before the release.
    QTest::addColumn<int>("holds");
    QTest::addColumn<bool>("closeWhileHeld");
    QTest::newRow("not held: each at once") << 0 << false;
    QTest::newRow("held: at the release") << 1 << false;
    QTest::newRow("nested: at the outermost release") << 2 << false;
    QTest::newRow("closed while held: sent before the close") << 1 << true;
}

void QtTcpClientTest::heldSendsLeaveTogether()
{
    QFETCH(int, holds);
    QFETCH(bool, closeWhileHeld);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);
    const QByteArray update("\xA5\x00\xAA\xAA\x36\x03\xA2\xA7\x00", 9);

    for (int i = 0; i < holds; ++i)
        client.holdSends();
    for (const QByteArray& message : {update.first(6), update.sliced(6, 1), update.sliced(7)}) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.constData());
        rec.inside([&] { client.sendData({bytes, std::size_t(message.size())}); });
    }
    // Held bytes wait in the socket, not in the network stack.
    QCOMPARE(client.socket().bytesToWrite(), holds > 0 ? qint64(update.size()) : 0);
    if (closeWhileHeld) {
        rec.close();
    } else {
        for (int i = 0; i < holds; ++i) {
            QCOMPARE(client.socket().bytesToWrite(), qint64(update.size()));
            client.releaseSends();
        }
        QCOMPARE(client.socket().bytesToWrite(), 0);
    }
    QTRY_COMPARE(peer.received(), update);
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::closeIsImmediateAndSilent_data()
{
    QTest::addColumn<Situation>("situation");
    QTest::newRow("closed") << Situation::Closed;
    // Each of these has an event on its way or just delivered; none may come
    // after the close.
    QTest::newRow("connecting") << Situation::Connecting;
    QTest::newRow("connected") << Situation::Connected;
    QTest::newRow("peer closed") << Situation::PeerClosed;
    QTest::newRow("failed") << Situation::Failed;
    QTest::newRow("failed, Error on its way") << Situation::FailedNow;
}

void QtTcpClientTest::closeIsImmediateAndSilent()
{
    QFETCH(Situation, situation);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(situation, client, rec, peer);
    if (situation == Situation::Connected)
        peer.send("data on its way");
    rec.clear();

    rec.close();
    QCOMPARE(client.state(), int(TcpClient::Closed));

    // Let the event loop run for a good while: a connection to another
    // peer has to come up. Nothing from the closed connection may appear.
    Peer other;
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, other.port());
    QTRY_COMPARE(other.accepted(), 1);
    QTRY_COMPARE(probe.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(rec.log(), QString());
    QCOMPARE(client.state(), int(TcpClient::Closed));

    rec.connect("127.0.0.1", peer.portText());
    QTRY_COMPARE(client.state(), int(TcpClient::Connected));
    QTRY_COMPARE(rec.log(), QStringLiteral("Connect"));
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::refusedAttemptEndsInError()
{
#if defined(Q_OS_UNIX)
    RefusingPort refusing;
    QtTcpClient client;
    Recorder rec(client);
    rec.connect("127.0.0.1", refusing.portText());
    QTRY_COMPARE(rec.log(), QStringLiteral("Error"));
    QCOMPARE(client.state(), int(TcpClient::Error));
    // It stays in error until closed.
    QVERIFY_THROWS_EXCEPTION(Failure, rec.connect("127.0.0.1", refusing.portText()));
    rec.close();
    QCOMPARE(client.state(), int(TcpClient::Closed));
    QCOMPARE(rec.eventsInsideCalls(), 0);
#else
    QSKIP("needs a port held without listening");
#endif
}

void QtTcpClientTest::unansweredAttemptGivesUp()
{
#if defined(Q_OS_LINUX)
    UnansweredPort silent;
    QtTcpClient client;
    client.setAttemptTimeout(50ms);
    Recorder rec(client);
    rec.connect("127.0.0.1", silent.portText());
    QCOMPARE(client.state(), int(TcpClient::Connecting));

    QTRY_COMPARE(rec.log(), QStringLiteral("Error"));
    QCOMPARE(client.state(), int(TcpClient::Error));
    // The attempt itself was abandoned, not left running underneath.
    QCOMPARE(client.socket().state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(rec.eventsInsideCalls(), 0);
#else
    QSKIP("relies on Linux dropping SYNs to a full accept queue");
#endif
}

void QtTcpClientTest::unusableHostOrPortFailsFromTheEventLoop_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("port");
    const QString good = QStringLiteral("127.0.0.1");
    const QString port = QStringLiteral("1111");
    QTest::newRow("empty host") << QString() << port;
    QTest::newRow("blank host") << QStringLiteral("   ") << port;
    QTest::newRow("not a host") << QStringLiteral("not a host!") << port;
    QTest::newRow("300 characters") << QString(300, u'a') << port;
    QTest::newRow("long dotted") << QString(120, u'a') + u'.' + QString(120, u'b') << port;
    QTest::newRow("address out of range") << QStringLiteral("192.168.1.300") << port;
    QTest::newRow("empty label") << QStringLiteral("a..b") << port;
    QTest::newRow("control characters") << QStringLiteral("host\n\t") << port;
    QTest::newRow("empty port") << good << QString();
    QTest::newRow("port 0") << good << QStringLiteral("0");
    QTest::newRow("port 65536") << good << QStringLiteral("65536");
    QTest::newRow("port far too big") << good << QStringLiteral("99999999999999999999");
    QTest::newRow("negative port") << good << QStringLiteral("-1");
    QTest::newRow("port with blank") << good << QStringLiteral("11 11");
    QTest::newRow("port text") << good << QStringLiteral("telnet");
}

void QtTcpClientTest::unusableHostOrPortFailsFromTheEventLoop()
{
    QFETCH(QString, host);
    QFETCH(QString, port);
    QtTcpClient client;
    Recorder rec(client);

    rec.connect(host.toStdString(), port.toStdString());
    // Refused inside the call, before any lookup: text that is no host name
    // never goes out as a DNS query. The event still comes from the loop,
    // and the state with it; until then the attempt reads as under way.
    QVERIFY(client.state() == TcpClient::ResolvingHost || client.state() == TcpClient::Connecting);
    QCOMPARE(rec.log(), QString());
    QTRY_COMPARE(rec.log(), QStringLiteral("Error"));
    QCOMPARE(client.state(), int(TcpClient::Error));

    // The client is as good as new after a close.
    Peer peer;
    rec.close();
    rec.clear();
    rec.connect("127.0.0.1", peer.portText());
    QTRY_COMPARE(rec.log(), QStringLiteral("Connect"));
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::peerClosingItsSideGivesClosing_data()
{
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QByteArray>("lastWords");
    QTest::newRow("FIN") << false << QByteArray();
    QTest::newRow("FIN after data") << false << QByteArray("\x01\x02\x03");
    QTest::newRow("RST") << true << QByteArray();
    QTest::newRow("RST after data") << true << QByteArray("\x01\x02\x03");
}

void QtTcpClientTest::peerClosingItsSideGivesClosing()
{
    QFETCH(bool, reset);
    QFETCH(QByteArray, lastWords);
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);
    rec.clear();

    if (!lastWords.isEmpty())
        peer.send(lastWords);
    if (reset)
        peer.resetConnection();
    else
        peer.closeConnection();

    QTRY_COMPARE(rec.count("Close"), 1);
    QCOMPARE(client.state(), int(TcpClient::Closing));
    // The last words arrive before the close; the close comes last.
    QCOMPARE(rec.count("DataArrival") > 0, !lastWords.isEmpty());
    QCOMPARE(rec.log().endsWith(QStringLiteral("Close")), true);
    QCOMPARE(rec.count("Error"), 0);
    QCOMPARE(client.socket().bytesAvailable(), 0);

    // It stays closing until closed; only then can it connect again.
    QVERIFY_THROWS_EXCEPTION(Failure, rec.connect("127.0.0.1", peer.portText()));
    QCOMPARE(client.state(), int(TcpClient::Closing));
    rec.close();
    QCOMPARE(client.state(), int(TcpClient::Closed));
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::eachArrivalRaisesDataArrival()
{
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);
    rec.clear();

    for (int arrival = 1; arrival <= 3; ++arrival) {
        peer.send("\x7F");
        QTRY_COMPARE(rec.count("DataArrival"), arrival);
        QCOMPARE(client.socket().bytesAvailable(), 0);
    }
    QCOMPARE(client.state(), int(TcpClient::Connected));
}

void QtTcpClientTest::arrivalPendingUntilItsEventIsHandled()
{
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);
    rec.clear();
    QVERIFY(!client.arrivalPending());

    // On loopback the bytes are in the network stack when the peer's write
    // returns; the event loop has not run since.
    peer.send("\x7F");
    QVERIFY(client.arrivalPending());
    QTRY_COMPARE(rec.count("DataArrival"), 1);
    QVERIFY(!client.arrivalPending());
}

void QtTcpClientTest::oneRequestOpensAtMostOneConnection_data()
{
    // Stalled: the thread is busy while the instrument accepts and resets,
    // so the attempt's outcome waits for it (a frozen panel waking up).
    QTest::addColumn<bool>("stalled");
    QTest::newRow("stalled while the instrument resets") << true;
    QTest::newRow("running") << false;
}

void QtTcpClientTest::oneRequestOpensAtMostOneConnection()
{
#if defined(Q_OS_LINUX)
    QFETCH(bool, stalled);
    ResettingServer server;
    QtTcpClient client;
    Recorder rec(client);
    const auto ended = [&] { return rec.count("Error") + rec.count("Close") > 0; };

    for (int request = 1; request <= 2; ++request) {
        rec.close();
        rec.clear();
        rec.connect("127.0.0.1", server.portText());
        if (stalled) {
            QElapsedTimer stall;
            stall.start();
            while (server.accepted() < request || !stall.hasExpired(100)) {
            }
        }
        QTRY_VERIFY(ended());
        // The second request proves that nothing of the first went on.
        QCOMPARE(server.accepted(), request);
    }
    QCOMPARE(rec.eventsInsideCalls(), 0);
#else
    QSKIP("resets with SO_LINGER on Linux sockets");
#endif
}

void QtTcpClientTest::sendOnASocketThatClosedItselfFailsQuietly()
{
    // The instrument has reset the connection, and the event loop has not
    // run since: the next message's write meets the reset and the socket
    // closes itself inside it, with its event still on its way.
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);
    rec.clear();
    peer.resetConnection();
    try {
        rec.send();
    } catch (const Failure&) {
    }
    QVERIFY(client.socket().state() != QAbstractSocket::ConnectedState);
    QCOMPARE(client.state(), int(TcpClient::Connected));

    QTest::failOnWarning(QRegularExpression(QStringLiteral("QIODevice")));
    QVERIFY_THROWS_EXCEPTION(Failure, rec.send());
    QTRY_VERIFY(rec.count("Close") + rec.count("Error") == 1);
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::floodIsReadAndDropped()
{
    // 32 MiB is far more than loopback's socket buffers hold: the peer gets
    // it all out only if the client keeps reading, and the client keeps
    // none of it.
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);

    const QByteArray chunk(1024 * 1024, '\x55');
    for (int i = 0; i < 32; ++i)
        peer.socket()->write(chunk);
    int readBackLog = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            readBackLog = std::max<int>(readBackLog, int(client.socket().bytesAvailable()));
            return peer.socket()->bytesToWrite() == 0;
        }(),
        20000);
    QCOMPARE(readBackLog, 0);
    QVERIFY(rec.count("DataArrival") >= 1);
    QCOMPARE(client.state(), int(TcpClient::Connected));

    // The link still works both ways.
    rec.send();
    QTRY_COMPARE(peer.received(), QByteArray("\x7F"));
    QCOMPARE(rec.eventsInsideCalls(), 0);
}

void QtTcpClientTest::socketOptionsOnConnect()
{
#if defined(Q_OS_LINUX)
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    reach(Situation::Connected, client, rec, peer);

    const int fd = int(client.socket().socketDescriptor());
    const auto option = [fd](int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        if (::getsockopt(fd, level, name, &value, &length) != 0)
            return -1;
        return value;
    };
    // Each message leaves at once instead of waiting for the ACK of the last.
    QCOMPARE(option(IPPROTO_TCP, TCP_NODELAY), 1);
    // A peer that vanishes is noticed within about ten seconds.
    QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), 2);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPINTVL), 1);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPCNT), 5);
    QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 10000);
#else
    QSKIP("reads the options back with Linux socket calls");
#endif
}

void QtTcpClientTest::handlersMayCloseAndReconnect()
{
    // The link's handlers call back into the client (the watchdog closes and
    // reconnects); a handler doing so from inside an event must be safe.
    Peer peer;
    QtTcpClient client;
    Recorder rec(client);
    int reconnects = 0;
    rec.onEvent = [&](const QString& event) {
        if (event == QStringLiteral("Close") && reconnects++ == 0) {
            client.close();
            client.connect("127.0.0.1", peer.portText());
        }
    };
    reach(Situation::Connected, client, rec, peer);
    peer.closeConnection();
    QTRY_COMPARE(rec.log(), QStringLiteral("Connect Close Connect"));
    QTRY_COMPARE(peer.accepted(), 2);
    QCOMPARE(client.state(), int(TcpClient::Connected));
}

void QtTcpClientTest::destroyedWithEventsOnTheirWay()
{
    Peer peer;
    bool raisedAfterDeath = false;
    auto client = std::make_unique<QtTcpClient>();
    client->setEvents({[&] { raisedAfterDeath = !client; }, [&] { raisedAfterDeath = !client; },
                       [&] { raisedAfterDeath = !client; }, [&] { raisedAfterDeath = !client; },
                       [&] { raisedAfterDeath = !client; }});
    client->connect("127.0.0.1", peer.portText());
    QTRY_COMPARE(client->state(), int(TcpClient::Connected));
    QTRY_VERIFY(peer.connected());
    // The state changes as the socket reports; the Close event is posted
    // and is most likely still on its way when the client goes.
    peer.send("bytes");
    peer.closeConnection();
    QTRY_COMPARE(client->state(), int(TcpClient::Closing));
    client.reset();

    // A second peer connection proves the event loop ran since.
    Peer other;
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, other.port());
    QTRY_COMPARE(other.accepted(), 1);
    QVERIFY(!raisedAfterDeath);
}

QTEST_GUILESS_MAIN(QtTcpClientTest)
#include "qttcpclient_test.moc"
