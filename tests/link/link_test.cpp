// The link supervisor's handlers against the real TCP client and a real
// instrument stand-in on 127.0.0.1. The timers are stand-ins whose ticks the
// test delivers by hand (Qt delivers the real ones), so every scenario runs
// in milliseconds and without waiting for an interval.

#include "base/failure.h"
#include "link/link.h"
#include "qt/qtcontrols.h"
#include "qt/qttcpclient.h"
#include "tests/support/fakecontrols.h"
#include "tests/support/loopback.h"
#include "tests/support/wiredlink.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

#include <deque>
#include <memory>

using namespace quillon;
using namespace quillon::test;
using namespace std::chrono_literals;
using link::kLinkDownColour;
using link::kLinkUpColour;
using quillon::TcpClient;
using test::FakeTextBox;
using test::FakeTimer;

namespace {

const QByteArray kInitSequence("\xA0\x01\xA6\x03\xA9\x61\x00\xB0\x01\xA8\x02\xAF\x01\xA3\x00", 15);

// The link as the window wires it: the client's events and the timers' ticks
// go to the link's handlers, and a connect runs the connect-time
// initialisation with stand-ins for the window's three actions.
struct Panel
{
    explicit Panel(std::string port, std::string host = "127.0.0.1")
        : txtIP(std::move(host), kLinkDownColour), txtPort(std::move(port))
    {
        TcpClient::Events events = link.clientEvents();
        events.dataArrival = [this, handle = events.dataArrival] {
            ++arrivals;
            handle();
        };
        events.error = [this, handle = events.error] {
            ++errors;
            handle();
        };
        client.setEvents(std::move(events));
        link.setTrace([this](std::string_view line) {
            trace << QString::fromUtf8(line.data(), qsizetype(line.size()));
        });
    }

    void tickHBout()
    {
        QVERIFY2(tmrHBout.isEnabled(), "a disabled timer does not tick");
        link.tmrHBout_Timer();
    }
    void tickHBin()
    {
        QVERIFY2(tmrHBin.isEnabled(), "a disabled timer does not tick");
        link.tmrHBin_Timer();
    }
    bool white() const { return txtIP.backColour() == kLinkUpColour; }
    bool red() const { return txtIP.backColour() == kLinkDownColour; }

    qt::QtTcpClient client;
    FakeTextBox txtIP;
    FakeTextBox txtPort;
    // Both heartbeat timers run from the window's creation.
    FakeTimer tmrHBout{true};
    FakeTimer tmrHBin{true};
    int arrivals = 0;
    int errors = 0;
    int inits = 0;
    QStringList trace;
    // What the panel looked like when the initialisation began.
    bool whiteAtInit = false;
    bool timersRunningAtInit = false;
    test::WiredLink wired{client, txtIP, txtPort, tmrHBout, tmrHBin, [this] {
                              ++inits;
                              whiteAtInit = white();
                              timersRunningAtInit = tmrHBout.isEnabled() && tmrHBin.isEnabled();
                          }};
    link::Link& link = wired.link;
};

// A client whose state the test sets, recording what the link asks of it.
class ScriptedClient : public TcpClient
{
public:
    int state() const override
    {
        if (stateFails)
            throw Failure("state unreadable");
        return m_state;
    }
    void connect(const std::string& host, const std::string& port) override
    {
        calls.push_back("connect " + host + ":" + port);
        if (m_state != Closed)
            throw Failure("not closed");
        m_state = Connecting;
    }
    void sendData(std::span<const std::uint8_t>) override
    {
        calls.push_back("send");
        if (m_state != Connected)
            throw Failure("not connected");
    }
    void close() override
    {
        calls.push_back("close");
        m_state = Closed;
    }
    void setEvents(Events) override {}
    bool arrivalPending() const override { return arrived; }
    void set(int state) { m_state = state; }

    std::vector<std::string> calls;
    bool stateFails = false;
    bool arrived = false;

private:
    int m_state = Closed;
};

QString joined(const std::vector<std::string>& calls)
{
    QStringList out;
    for (const auto& c : calls)
        out << QString::fromStdString(c);
    return out.join(QStringLiteral(", "));
}

} // namespace

class LinkTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectTurnsWhiteStartsTimersAndInitialises();
    void heartbeatSendsOneByteEachTick();
    void failedAttemptsAreRetriedByTheWatchdog_data();
    void failedAttemptsAreRetriedByTheWatchdog();
    void watchdogLeavesAnAttemptUnderWayAlone();
    void unansweredAttemptIsRetriedAfterItGivesUp();
    void silentInstrumentMarksTheLinkDown();
    void arrivalsRestartTheWatchdog();
    void instrumentClosingItsSideIsReconnected_data();
    void instrumentClosingItsSideIsReconnected();
    void watchdogTick_data();
    void watchdogTick();
    void errorEvent_data();
    void errorEvent();
    void closeIsTheFirstStepOfShutDown();
    void nothingGoesOutBeforeTheConnectSequence();
    void stalledThreadKeepsALiveLinkUp_data();
    void stalledThreadKeepsALiveLinkUp();
    void traceFollowsTheConnectSequence();
    void heldSendsLeaveInOneWrite();
};

void LinkTest::connectTurnsWhiteStartsTimersAndInitialises()
{
    Peer peer;
    Panel p(peer.portText());
    // Before any connection the heartbeat fails quietly.
    p.tickHBout();
    QVERIFY(p.red());

    const int watchdogStarts = p.tmrHBin.starts;
    p.link.connect();
    QTRY_COMPARE(p.inits, 1);
    QVERIFY(p.white());
    QVERIFY(p.whiteAtInit);
    QVERIFY(p.timersRunningAtInit);
    QVERIFY(p.tmrHBin.starts > watchdogStarts);

    QTRY_COMPARE(peer.received(), kInitSequence);
    QCOMPARE(p.client.state(), int(TcpClient::Connected));
}

void LinkTest::heartbeatSendsOneByteEachTick()
{
    Peer peer;
    Panel p(peer.portText());
    p.link.connect();
    QTRY_COMPARE(peer.received(), kInitSequence);
    peer.clearReceived();

    for (int tick = 1; tick <= 3; ++tick) {
        p.tickHBout();
        QTRY_COMPARE(peer.received(), QByteArray(tick, '\x7F'));
    }
}

void LinkTest::failedAttemptsAreRetriedByTheWatchdog_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("refusingPort");
    QTest::newRow("refused") << QStringLiteral("127.0.0.1") << true;
    QTest::newRow("garbage host") << QStringLiteral("not a host!") << false;
    QTest::newRow("empty host") << QString() << false;
    QTest::newRow("300 characters") << QString(300, u'x') << false;
}

void LinkTest::failedAttemptsAreRetriedByTheWatchdog()
{
    QFETCH(QString, host);
    QFETCH(bool, refusingPort);
#if defined(Q_OS_UNIX)
    RefusingPort refusing;
    const std::string port = refusing.portText();
#else
    if (refusingPort)
        QSKIP("needs a port held without listening");
    const std::string port = "1111";
#endif
    Q_UNUSED(refusingPort);
    Panel p(port, host.toStdString());
    p.link.connect();
    QTRY_COMPARE(p.errors, 1);
    QCOMPARE(p.client.state(), int(TcpClient::Error));

    // Each tick closes the failed attempt and starts another.
    for (int attempt = 2; attempt <= 4; ++attempt) {
        p.tickHBin();
        QVERIFY(p.client.state() != TcpClient::Closed);
        QTRY_COMPARE(p.errors, attempt);
        QCOMPARE(p.client.state(), int(TcpClient::Error));
        QVERIFY(p.red());
        // The heartbeat keeps ticking and failing quietly.
        QVERIFY(p.tmrHBout.isEnabled());
        p.tickHBout();
    }
    QCOMPARE(p.inits, 0);
}

void LinkTest::watchdogLeavesAnAttemptUnderWayAlone()
{
#if defined(Q_OS_LINUX)
    UnansweredPort silent;
    Panel p(silent.portText());
    p.client.setAttemptTimeout(60s);
    p.link.connect();
    QCOMPARE(p.client.state(), int(TcpClient::Connecting));

    p.tickHBin();
    p.tickHBin();
    QCOMPARE(p.client.state(), int(TcpClient::Connecting));
    QCOMPARE(p.errors, 0);
#else
    QSKIP("relies on Linux dropping SYNs to a full accept queue");
#endif
}

void LinkTest::unansweredAttemptIsRetriedAfterItGivesUp()
{
#if defined(Q_OS_LINUX)
    UnansweredPort silent;
    Panel p(silent.portText());
    p.client.setAttemptTimeout(20ms);
    p.link.connect();
    QTRY_COMPARE(p.errors, 1);
    QCOMPARE(p.client.state(), int(TcpClient::Error));

    p.tickHBin();
    QCOMPARE(p.client.state(), int(TcpClient::Connecting));
    QTRY_COMPARE(p.errors, 2);
    QVERIFY(p.red());
#else
    QSKIP("relies on Linux dropping SYNs to a full accept queue");
#endif
}

void LinkTest::silentInstrumentMarksTheLinkDown()
{
    Peer peer;
    Panel p(peer.portText());
    p.link.connect();
    QTRY_COMPARE(peer.received(), kInitSequence);

    // A whole watchdog period without a byte: down, but the socket stays.
    for (int period = 0; period < 2; ++period) {
        p.tickHBin();
        QVERIFY(p.red());
        QVERIFY(!p.tmrHBout.isEnabled());
        QVERIFY(p.tmrHBin.isEnabled());
        QCOMPARE(p.client.state(), int(TcpClient::Connected));
        QVERIFY(peer.connected());
    }

    // Bytes that come later restart the watchdog and nothing else: only a
    // new connection turns the link white again.
    const int starts = p.tmrHBin.starts;
    peer.send("\x01");
    QTRY_COMPARE(p.arrivals, 1);
    QCOMPARE(p.tmrHBin.starts, starts + 1);
    QVERIFY(p.tmrHBin.isEnabled());
    QVERIFY(p.red());
    QVERIFY(!p.tmrHBout.isEnabled());
    QCOMPARE(p.inits, 1);
}

void LinkTest::arrivalsRestartTheWatchdog()
{
    Peer peer;
    Panel p(peer.portText());
    p.link.connect();
    QTRY_COMPARE(p.inits, 1);
    const int starts = p.tmrHBin.starts;

    for (int arrival = 1; arrival <= 3; ++arrival) {
        peer.send("\x55");
        QTRY_COMPARE(p.arrivals, arrival);
        QCOMPARE(p.tmrHBin.starts, starts + arrival);
    }
    QVERIFY(p.white());
    QVERIFY(p.tmrHBout.isEnabled());
}

void LinkTest::instrumentClosingItsSideIsReconnected_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("FIN") << false;
    QTest::newRow("RST") << true;
}

void LinkTest::instrumentClosingItsSideIsReconnected()
{
    QFETCH(bool, reset);
    Peer peer;
    Panel p(peer.portText());
    p.link.connect();
    QTRY_COMPARE(peer.received(), kInitSequence);
    QTRY_VERIFY(peer.connected());
    peer.clearReceived();

    if (reset)
        peer.resetConnection();
    else
        peer.closeConnection();
    QTRY_VERIFY(p.red());
    QCOMPARE(p.client.state(), int(TcpClient::Closing));
    QVERIFY(!p.tmrHBout.isEnabled());

    // The instrument restarted: the next tick closes and connects, and the
    // new connection is initialised afresh.
    p.tickHBin();
    QTRY_COMPARE(p.inits, 2);
    QVERIFY(p.white());
    QVERIFY(p.tmrHBout.isEnabled());
    QTRY_COMPARE(peer.accepted(), 2);
    QTRY_COMPARE(peer.received(), kInitSequence);
}

void LinkTest::watchdogTick_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("wasUp");
    QTest::addColumn<bool>("stateUnreadable");
    QTest::addColumn<bool>("arrived");
    QTest::addColumn<QString>("calls");
    QTest::addColumn<bool>("linkDown");

    // The trace: the watchdog's decision in words.
    QTest::addColumn<QString>("decision");

    const QString none;
    const QString reconnect = QStringLiteral("close, connect 10.1.2.3:1111");
    const QString silent = QStringLiteral("connected but silent: link down, connection kept");
    const QString retry =
        QStringLiteral("connection failed or closed by the instrument: close; closed: reconnect");
    const QString underWay = QStringLiteral("attempt under way: left alone");
    QTest::newRow("connected and silent") << 7 << true << false << false << none << true << silent;
    // Bytes came within the period, their DataArrival not yet handled: the
    // link is alive, whatever order a stalled event loop delivers things in.
    QTest::newRow("connected, bytes not yet handled")
        << 7 << true << false << true << none << false
        << QStringLiteral("bytes arrived but not yet handled: watchdog restarted");
    QTest::newRow("failed attempt") << 9 << false << false << false << reconnect << false << retry;
    // The Error event was still on its way: the tick does what it would have.
    QTest::newRow("failed while up") << 9 << true << false << false << reconnect << true << retry;
    QTest::newRow("instrument closed its side")
        << 8 << false << false << false << reconnect << false << retry;
    QTest::newRow("closed") << 0 << false << false << false
                            << QStringLiteral("connect 10.1.2.3:1111") << false
                            << QStringLiteral("closed: reconnect");
    QTest::newRow("resolving") << 4 << false << false << false << none << false << underWay;
    QTest::newRow("resolved") << 5 << false << false << false << none << false << underWay;
    QTest::newRow("connecting") << 6 << false << false << false << none << false << underWay;
    // A state that cannot be read counts as the first test holding.
    QTest::newRow("state unreadable") << 7 << true << true << false << none << true << silent;
}

void LinkTest::watchdogTick()
{
    QFETCH(int, state);
    QFETCH(bool, wasUp);
    QFETCH(bool, stateUnreadable);
    QFETCH(bool, arrived);
    QFETCH(QString, calls);
    QFETCH(bool, linkDown);
    QFETCH(QString, decision);

    ScriptedClient client;
    FakeTextBox ip("10.1.2.3", kLinkDownColour);
    FakeTextBox port("1111");
    FakeTimer hbOut(true);
    FakeTimer hbIn(true);
    link::Link l({client, ip, port, hbOut, hbIn});
    QStringList decisions;
    l.setTrace([&](std::string_view line) {
        const QString text = QString::fromUtf8(line.data(), qsizetype(line.size()));
        if (text.startsWith(QStringLiteral("watchdog: ")))
            decisions << text.mid(10);
    });
    if (wasUp) {
        client.set(TcpClient::Connected);
        l.Enet_Connect();
    }
    client.set(state);
    client.stateFails = stateUnreadable;
    client.arrived = arrived;
    const quillon::Colour before = ip.backColour();
    const int watchdogStarts = hbIn.starts;

    l.tmrHBin_Timer();

    QCOMPARE(hbIn.starts > watchdogStarts, arrived);
    QCOMPARE(joined(client.calls), calls);
    QCOMPARE(decisions.join(QStringLiteral("; ")), decision);
    if (linkDown) {
        QCOMPARE(ip.backColour(), kLinkDownColour);
        QVERIFY(!hbOut.isEnabled());
    } else {
        QCOMPARE(ip.backColour(), before);
        QVERIFY(hbOut.isEnabled());
    }
    QVERIFY(hbIn.isEnabled());
}

void LinkTest::errorEvent_data()
{
    QTest::addColumn<bool>("wasUp");
    QTest::addColumn<bool>("silencedBefore");
    QTest::addColumn<bool>("linkDown");
    // An error on a link that was up means it is dead: a white indicator
    // would report a failure as success.
    QTest::newRow("on an established link") << true << false << true;
    // A failed attempt changes nothing: the indicator is light red already
    // and the heartbeat keeps failing quietly until the next connect.
    QTest::newRow("on a failed attempt") << false << false << false;
    // Already marked down by the watchdog: nothing more to do.
    QTest::newRow("after the watchdog marked it down") << true << true << true;
}

void LinkTest::errorEvent()
{
    QFETCH(bool, wasUp);
    QFETCH(bool, silencedBefore);
    QFETCH(bool, linkDown);

    ScriptedClient client;
    FakeTextBox ip("10.1.2.3", kLinkDownColour);
    FakeTextBox port("1111");
    FakeTimer hbOut(true);
    FakeTimer hbIn(true);
    link::Link l({client, ip, port, hbOut, hbIn});
    if (wasUp) {
        client.set(TcpClient::Connected);
        l.Enet_Connect();
        QCOMPARE(ip.backColour(), kLinkUpColour);
    }
    if (silencedBefore)
        l.tmrHBin_Timer();
    client.set(TcpClient::Error);

    l.Enet_Error();

    QCOMPARE(ip.backColour(), kLinkDownColour);
    QCOMPARE(hbOut.isEnabled(), !linkDown);
    QVERIFY(client.calls.empty());
}

void LinkTest::closeIsTheFirstStepOfShutDown()
{
    Peer peer;
    Panel p(peer.portText());
    p.link.connect();
    QTRY_COMPARE(p.inits, 1);
    QTRY_VERIFY(peer.connected());

    p.link.close();
    QCOMPARE(p.client.state(), int(TcpClient::Closed));
    QTRY_COMPARE(peer.peerGone(), 1);
    // A close is not the instrument closing: nothing marks the link down.
    QVERIFY(p.white());
    QVERIFY_THROWS_EXCEPTION(Failure, p.link.send(link::heartbeat()));
}

void LinkTest::nothingGoesOutBeforeTheConnectSequence()
{
    // A heartbeat falls due while the GUI thread is busy and the connection
    // comes up underneath: when the thread is free again, the tick and the
    // socket's news are handled in the same pass of the event loop. Whatever
    // their order, A0 01 is the first thing the instrument receives.
    for (int attempt = 0; attempt < 5; ++attempt) {
        Peer peer;
        qt::QtTcpClient client;
        FakeTextBox ip("127.0.0.1", kLinkDownColour);
        FakeTextBox port(peer.portText());
        qt::QtTimer hbOut(5, true);
        FakeTimer hbIn;
        test::WiredLink wired(client, ip, port, hbOut, hbIn);
        client.setEvents(wired.link.clientEvents());
        hbOut.setHandler([&] { wired.link.tmrHBout_Timer(); });

        wired.link.connect();
        // The busy thread is the situation under test, not a wait.
        QElapsedTimer busy;
        busy.start();
        while (!busy.hasExpired(100)) {
        }
        QTRY_VERIFY(peer.received().size() >= kInitSequence.size());
        QCOMPARE(peer.received().left(2), QByteArray("\xA0\x01"));
        QCOMPARE(peer.received().left(kInitSequence.size()), kInitSequence);
    }
}

void LinkTest::stalledThreadKeepsALiveLinkUp_data()
{
    // Whether the watchdog's tick is handled before the socket's news when
    // the thread is free again, or in whatever order Qt delivers them.
    QTest::addColumn<bool>("tickFirst");
    QTest::newRow("tick before the socket's news") << true;
    QTest::newRow("as the event loop delivers them") << false;
}

void LinkTest::stalledThreadKeepsALiveLinkUp()
{
    // The instrument sends within the watchdog period, but the GUI thread is
    // stalled past its end (a suspended machine, a paused VM): the bytes
    // wait in the network stack while the tick falls due.
    QFETCH(bool, tickFirst);
    const int periodMs = 300;
    Peer peer;
    qt::QtTcpClient client;
    FakeTextBox ip("127.0.0.1", kLinkDownColour);
    FakeTextBox port(peer.portText());
    FakeTimer hbOut(true);
    qt::QtTimer hbIn(periodMs, true);
    test::WiredLink wired(client, ip, port, hbOut, hbIn);
    int arrivals = 0;
    TcpClient::Events events = wired.link.clientEvents();
    events.dataArrival = [&] {
        ++arrivals;
        wired.link.Enet_DataArrival();
    };
    client.setEvents(events);
    hbIn.setHandler([&] { wired.link.tmrHBin_Timer(); });
    wired.link.connect();
    QTRY_COMPARE(peer.received(), kInitSequence);
    QTRY_VERIFY(peer.connected());

    // On loopback the bytes are in the client's receive queue when the
    // peer's write returns.
    peer.send("\x7F");
    QElapsedTimer stall;
    stall.start();
    while (!stall.hasExpired(2 * periodMs)) {
    }
    if (tickFirst)
        wired.link.tmrHBin_Timer();
    QTRY_COMPARE(arrivals, 1);

    QCOMPARE(ip.backColour(), kLinkUpColour);
    QVERIFY(hbOut.isEnabled());
    QCOMPARE(client.state(), int(TcpClient::Connected));
}

void LinkTest::traceFollowsTheConnectSequence()
{
    // The trace shows the connect sequence byte for byte with each command's
    // name, with the client's state changes and events around it, and what a
    // link that is down did not send.
    Peer peer;
    Panel p(peer.portText());
    p.tickHBout();
    p.link.connect();
    QTRY_COMPARE(peer.received(), kInitSequence);
    p.link.close();
    const QStringList expected{
        QStringLiteral("not sent (state 0): 7F Heartbeat"),
        QStringLiteral("connect to 127.0.0.1 port ") + QString::fromStdString(peer.portText()),
        QStringLiteral("state 6 Connecting"),
        QStringLiteral("state 7 Connected"),
        QStringLiteral("event Connect"),
        QStringLiteral("sent A0 01 ConnectA0"),
        QStringLiteral("sent A6 03 ConnectA6"),
        QStringLiteral("sent A9 61 00 SetChargePumpCurrents"),
        QStringLiteral("sent B0 01 SetRosaPrescaler"),
        QStringLiteral("sent A8 02 SetDdsPrescaler"),
        QStringLiteral("sent AF 01 ConnectAF"),
        QStringLiteral("sent A3 00 SelectSlot"),
        QStringLiteral("close"),
        QStringLiteral("state 0 Closed"),
    };
    QCOMPARE(p.trace, expected);
}

void LinkTest::heldSendsLeaveInOneWrite()
{
    // The link passes a batch's hold on to the client: an Update's three
    // messages wait in the socket until the batch ends.
    Peer peer;
    Panel p(peer.portText());
    p.link.connect();
    QTRY_COMPARE(peer.received(), kInitSequence);
    {
        const link::SendBatch batch(p.link);
        p.link.send(link::setTuningWord(0, 0x0336AAAA));
        p.link.send(link::applyUpdate());
        p.link.send(link::setOffsetSign(0));
        QCOMPARE(p.client.socket().bytesToWrite(), qint64(9));
    }
    QCOMPARE(p.client.socket().bytesToWrite(), qint64(0));
    QTRY_COMPARE(peer.received(),
                 kInitSequence + QByteArray("\xA5\x00\xAA\xAA\x36\x03\xA2\xA7\x00", 9));
}

QTEST_GUILESS_MAIN(LinkTest)
#include "link_test.moc"
