// The loopback line server against real clients on 127.0.0.1: lines in and
// replies out, and each limit that keeps a bad client from hurting the panel.

#include "qt/qtlineserver.h"

#include <QTcpSocket>
#include <QTest>

#include <memory>

using quillon::qt::QtLineServer;
using namespace std::chrono_literals;

namespace {

// Records every line of every client; each line's reply is "<line>!".
struct Recorder
{
    std::vector<std::string> lines;
    int tooLong = 0;
    std::string replyPadding;

    QtLineServer::Conversation conversation()
    {
        return {[this](std::string_view line) {
                    lines.emplace_back(line);
                    return std::vector<std::string>{std::string(line) + "!" + replyPadding};
                },
                [this] { ++tooLong; }};
    }
};

QtLineServer::Limits smallLimits()
{
    QtLineServer::Limits limits;
    limits.maxClients = 2;
    limits.maxLineBytes = 16;
    limits.maxUnsentBytes = 1024;
    limits.silentClientTimeout = 200ms;
    return limits;
}

std::unique_ptr<QTcpSocket> connectTo(const QtLineServer& server,
                                      const QHostAddress& address = QHostAddress::LocalHost)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(address, server.port());
    return client;
}

} // namespace

class QtLineServerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void repliesComeInOrder_data();
    void repliesComeInOrder();
    void listensOnLoopbackOnly();
    void oneLineEachPassOfTheEventLoop();
    void overLongLineIsDroppedAndReported();
    void clientsBeyondTheLimitAreClosed();
    void clientThatNeverReadsIsClosed();
    void silentClientIsClosedOneThatSpokeStays_data();
    void silentClientIsClosedOneThatSpokeStays();
    void wholeLinesBeforeADisconnectAreHandled();
};

void QtLineServerTest::repliesComeInOrder_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("one line") << QByteArray("a\n") << QStringList{"a"};
    QTest::newRow("two in one write") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    // The conversation drops the CR; the server only splits at LF.
    QTest::newRow("CR LF") << QByteArray("a\r\n") << QStringList{"a\r"};
    QTest::newRow("no LF yet") << QByteArray("a\nb") << QStringList{"a"};
    QTest::newRow("empty line") << QByteArray("\n") << QStringList{""};
}

void QtLineServerTest::repliesComeInOrder()
{
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, lines);
    Recorder rec;
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    const auto client = connectTo(server);
    client->write(sent);

    QByteArray expected;
    for (const QString& line : lines)
        expected += line.toLatin1() + "!\n";
    QTRY_COMPARE(client->bytesAvailable(), expected.size());
    QCOMPARE(client->readAll(), expected);
    QCOMPARE(int(rec.lines.size()), int(lines.size()));
}

void QtLineServerTest::listensOnLoopbackOnly()
{
    // 127.0.0.2 is this machine too, but not the address listened on.
    Recorder rec;
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    const auto other = connectTo(server, QHostAddress(QStringLiteral("127.0.0.2")));
    QTRY_COMPARE(other->error(), QAbstractSocket::ConnectionRefusedError);
    const auto local = connectTo(server);
    QTRY_COMPARE(local->state(), QAbstractSocket::ConnectedState);
}

void QtLineServerTest::oneLineEachPassOfTheEventLoop()
{
    // A client floods lines; a timer of interval 0 ticks once each pass of the
    // event loop. Between two ticks at most one line of the flood may be
    // handled (two where the ticks fall on either side of the pump's own):
    // the heartbeat and the instrument's bytes get their turn.
    Recorder rec;
    QtLineServer::Limits limits = smallLimits();
    QtLineServer server([&] { return rec.conversation(); }, limits);
    QVERIFY(server.listen(0));
    const auto client = connectTo(server);
    QByteArray flood;
    for (int i = 0; i < 500; ++i)
        flood += "x\n";
    client->write(flood);

    std::size_t lastCount = 0;
    std::size_t mostInOnePass = 0;
    QTimer probe;
    probe.setInterval(0);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        mostInOnePass = std::max(mostInOnePass, rec.lines.size() - lastCount);
        lastCount = rec.lines.size();
    });
    probe.start();
    QTRY_COMPARE_WITH_TIMEOUT(rec.lines.size(), std::size_t(500), 20000);
    QVERIFY2(mostInOnePass <= 2, qPrintable(QString::number(mostInOnePass)));
}

void QtLineServerTest::overLongLineIsDroppedAndReported()
{
    Recorder rec;
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    const auto client = connectTo(server);
    QTRY_COMPARE(client->state(), QAbstractSocket::ConnectedState);
    // Longer than the 16-byte limit, in pieces, then a good line.
    client->write(QByteArray(40, 'a'));
    client->flush();
    QTRY_COMPARE(rec.tooLong, 1);
    client->write(QByteArray(40, 'b') + "\nok\n");
    QTRY_COMPARE(rec.lines, std::vector<std::string>{"ok"});
    QCOMPARE(rec.tooLong, 1);
}

void QtLineServerTest::clientsBeyondTheLimitAreClosed()
{
    Recorder rec;
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    const auto first = connectTo(server);
    const auto second = connectTo(server);
    QTRY_COMPARE(server.clientCount(), 2);
    const auto third = connectTo(server);
    QTRY_COMPARE(third->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(server.clientCount(), 2);

    // A place freed is a place for the next.
    first->abort();
    QTRY_COMPARE(server.clientCount(), 1);
    const auto fourth = connectTo(server);
    fourth->write("hello\n");
    QTRY_COMPARE(fourth->bytesAvailable(), qint64(7));
    QCOMPARE(fourth->readAll(), QByteArray("hello!\n"));
}

void QtLineServerTest::clientThatNeverReadsIsClosed()
{
    // Each reply is 256 KiB and the client reads none: once the network
    // stack's buffers are full, replies wait in the server, and past the
    // limit the client goes.
    Recorder rec;
    rec.replyPadding = std::string(256 * 1024, 'r');
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    QTcpSocket client;
    client.setReadBufferSize(1);
    client.connectToHost(QHostAddress::LocalHost, server.port());
    QTRY_COMPARE(server.clientCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (client.state() == QAbstractSocket::ConnectedState) {
                client.write("q\n");
                client.flush();
            }
            return server.clientCount() == 0;
        }(),
        20000);
}

void QtLineServerTest::silentClientIsClosedOneThatSpokeStays_data()
{
    // What the client that is to be closed sends: nothing, or bytes that
    // never make a whole line, over-long or not.
    QTest::addColumn<QByteArray>("mumble");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("part of a line") << QByteArray("FREQ 8");
    QTest::newRow("an over-long line without its end") << QByteArray(40, 'a');
}

void QtLineServerTest::silentClientIsClosedOneThatSpokeStays()
{
    QFETCH(QByteArray, mumble);
    Recorder rec;
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    const auto speaker = connectTo(server);
    speaker->write("hi\n");
    const auto silent = connectTo(server);
    silent->write(mumble);
    QTRY_COMPARE(rec.lines.size(), std::size_t(1));
    QTRY_COMPARE(silent->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(speaker->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(server.clientCount(), 1);
}

void QtLineServerTest::wholeLinesBeforeADisconnectAreHandled()
{
    Recorder rec;
    QtLineServer server([&] { return rec.conversation(); }, smallLimits());
    QVERIFY(server.listen(0));
    auto client = connectTo(server);
    QTRY_COMPARE(server.clientCount(), 1);
    client->write("one\ntwo\nhalf a li");
    client->disconnectFromHost();
    QTRY_COMPARE(server.clientCount(), 0);
    QCOMPARE(rec.lines, (std::vector<std::string>{"one", "two"}));
}

QTEST_GUILESS_MAIN(QtLineServerTest)
#include "qtlineserver_test.moc"
