// quillon-sim as a process on 127.0.0.1: that it shows what a client sent,
// keeps a faithful record, misbehaves as asked, and that the link recovers
// from it with its real timers.

#include "link/link.h"
#include "qt/qtcontrols.h"
#include "qt/qttcpclient.h"
#include "tests/support/fakecontrols.h"
#include "tests/support/wiredlink.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#if defined(Q_OS_UNIX)
#include <csignal>
#endif

using namespace quillon;

namespace {

// One simulator process on a port of the system's choosing.
class Sim
{
public:
    explicit Sim(QStringList args)
    {
        m_process.setProgram(QStringLiteral(QUILLON_SIM_PATH));
        m_process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_out += QString::fromUtf8(m_process.readAllStandardOutput()); });
        m_process.start();
    }
    ~Sim()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    // Waits for the line that says where it listens (or refuses).
    bool ready()
    {
        static const QRegularExpression where(
            QStringLiteral("(listening|refusing) on 127\\.0\\.0\\.1:(\\d+)"));
        if (!QTest::qWaitFor([&] { return where.match(m_out).hasMatch(); }, 10000))
            return false;
        const auto match = where.match(m_out);
        m_port = quint16(match.captured(2).toUInt());
        return true;
    }
    quint16 port() const { return m_port; }
    std::string portText() const { return std::to_string(m_port); }
    QString out() const { return m_out; }
    QStringList lines() const { return m_out.split(u'\n', Qt::SkipEmptyParts); }
    QProcess& process() { return m_process; }
    void signal(int number)
    {
#if defined(Q_OS_UNIX)
        ::kill(pid_t(m_process.processId()), number);
#else
        Q_UNUSED(number);
#endif
    }

private:
    QProcess m_process;
    QString m_out;
    quint16 m_port = 0;
};

// The record file, as (time, hex bytes) pairs.
struct Record
{
    QList<double> ms;
    QStringList bytes;
};

Record readRecord(const QString& path)
{
    Record r;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return r;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const qsizetype space = line.indexOf(u' ');
        r.ms << line.left(space).toDouble();
        r.bytes << line.mid(space + 1);
    }
    return r;
}

QByteArray hexBytes(const char* hex)
{
    return QByteArray::fromHex(QByteArray(hex));
}

const QStringList kInitRecord = {QStringLiteral("A0 01"),    QStringLiteral("A6 03"),
                                 QStringLiteral("A9 61 00"), QStringLiteral("B0 01"),
                                 QStringLiteral("A8 02"),    QStringLiteral("AF 01"),
                                 QStringLiteral("A3 00")};

} // namespace

class SimTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodesAndRecordsWhatTheClientSent();
    void beatsBackAndStopsCleanly();
    void exitsByItselfWhenAsked();
    void faultModes_data();
    void faultModes();
    void refusesThenListens();
    void aNewClientReplacesTheOldOne();
    void garbageIsReportedNotFatal();
    void printsStateOnRequest();
    void noReadLeavesTheClientsDataInTcp();
    void linkRecoversFromAnInstrumentThatKeepsClosing();

private:
    QTemporaryDir m_dir;
};

void SimTest::decodesAndRecordsWhatTheClientSent()
{
    const QString record = m_dir.filePath(QStringLiteral("decode.rec"));
    Sim sim({QStringLiteral("--record"), record, QStringLiteral("--state"),
             QStringLiteral("--beat"), QStringLiteral("0")});
    QVERIFY(sim.ready());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);

    // The connect sequence, then an Update for 80 MHz cut across two writes.
    client.write(hexBytes("A001A603A96100B001A802AF01A300"));
    client.write(hexBytes("A5005555"));
    client.flush();
    QTRY_VERIFY(sim.out().contains(QStringLiteral("A3 00  SelectSlot  slot 0")));
    client.write(hexBytes("D514A2A700"));
    client.flush();

    QTRY_COMPARE(readRecord(record).bytes.size(), 10);
    const Record r = readRecord(record);
    const QStringList update = {QStringLiteral("A5 00 55 55 D5 14"), QStringLiteral("A2"),
                                QStringLiteral("A7 00")};
    QCOMPARE(r.bytes, kInitRecord + update);
    for (qsizetype i = 1; i < r.ms.size(); ++i)
        QVERIFY(r.ms[i] >= r.ms[i - 1]);

    // The record file is written before the decoded lines reach us through
    // the pipe: wait for the state line after the last message, whole.
    QTRY_VERIFY(sim.out().contains(
        QRegularExpression(QStringLiteral("offset sign 0; messages 10,[^\n]*\n"))));
    const QString out = sim.out();
    QVERIFY(out.contains(QStringLiteral("A9 61 00  SetChargePumpCurrents  code 0x61: Freq. Detect "
                                        "X20, Wide Lock X2, Final Lock X1")));
    QVERIFY(out.contains(QStringLiteral("A5 00 55 55 D5 14  SetTuningWord  slot 0, word 349525333 "
                                        "(0x14D55555) = 80.000000 MHz at 983.04 MHz")));
    QVERIFY(out.contains(QStringLiteral("A7 00  SetOffsetSign  sign 0 (offset above zero)")));
    // With --state each message is followed by the state it left.
    const QStringList lines = sim.lines();
    const auto sign = std::find_if(lines.begin(), lines.end(), [](const QString& l) {
        return l.contains(QStringLiteral("SetOffsetSign"));
    });
    QVERIFY(sign != lines.end() && sign + 1 != lines.end());
    QVERIFY((sign + 1)->contains(QStringLiteral("state: slot 0 word 349525333")));
    QVERIFY((sign + 1)->contains(QStringLiteral("DDS divider 2; ROSA index 1 (divider 16)")));
    QVERIFY((sign + 1)->contains(QStringLiteral("offset sign 0;")));
}

void SimTest::beatsBackAndStopsCleanly()
{
    Sim sim({QStringLiteral("--beat"), QStringLiteral("10")});
    QVERIFY(sim.ready());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QByteArray got;
    QObject::connect(&client, &QIODevice::readyRead, [&] { got += client.readAll(); });
    QTRY_VERIFY(got.size() >= 3);

    sim.process().terminate();
    QTRY_COMPARE(sim.process().state(), QProcess::NotRunning);
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(sim.out().contains(QStringLiteral("stopped")));
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
}

void SimTest::exitsByItselfWhenAsked()
{
    Sim sim({QStringLiteral("--exit-after"), QStringLiteral("50")});
    QVERIFY(sim.ready());
    QTRY_COMPARE(sim.process().state(), QProcess::NotRunning);
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(sim.out().contains(QStringLiteral("state: ")));
    QVERIFY(sim.out().contains(QStringLiteral("stopped")));
}

void SimTest::faultModes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QAbstractSocket::SocketError>("error");
    QTest::addColumn<QString>("says");

    QTest::newRow("refuse") << QStringList{QStringLiteral("--refuse")} << false
                            << QAbstractSocket::ConnectionRefusedError << QString();
    QTest::newRow("close") << QStringList{QStringLiteral("--close-after"), QStringLiteral("20")}
                           << true << QAbstractSocket::RemoteHostClosedError
                           << QStringLiteral("-- closing the connection");
    QTest::newRow("reset") << QStringList{QStringLiteral("--reset-after"), QStringLiteral("20")}
                           << true << QAbstractSocket::RemoteHostClosedError
                           << QStringLiteral("-- resetting the connection");
    QTest::newRow("silent") << QStringList{QStringLiteral("--silent-after"), QStringLiteral("20")}
                            << true << QAbstractSocket::UnknownSocketError
                            << QStringLiteral("-- going silent");
}

void SimTest::faultModes()
{
    QFETCH(QStringList, args);
    QFETCH(bool, connects);
    QFETCH(QAbstractSocket::SocketError, error);
    QFETCH(QString, says);

    Sim sim(args);
    QVERIFY(sim.ready());
    QTcpSocket client;
    QSignalSpy connected(&client, &QAbstractSocket::connected);
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    if (error == QAbstractSocket::UnknownSocketError) {
        // Nothing ends: the connection stays, only the beats stop.
        QTRY_VERIFY(sim.out().contains(says));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        return;
    }
    QTRY_COMPARE(client.error(), error);
    QCOMPARE(connected.size(), connects ? 1 : 0);
    QTRY_VERIFY(sim.out().contains(says));
}

void SimTest::refusesThenListens()
{
    Sim sim({QStringLiteral("--refuse-for"), QStringLiteral("100")});
    QVERIFY(sim.ready());
    QVERIFY(sim.out().contains(QStringLiteral("refusing on 127.0.0.1:")));

    // The same port, refused first and answered once the time is up.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(client.error(), QAbstractSocket::ConnectionRefusedError);
    QTRY_VERIFY(sim.out().contains(QStringLiteral("listening on 127.0.0.1:%1").arg(sim.port())));
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void SimTest::aNewClientReplacesTheOldOne()
{
    Sim sim({});
    QVERIFY(sim.ready());
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_VERIFY(sim.out().count(QStringLiteral("-- client connected")) == 1);
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(sim.out().contains(QStringLiteral("-- client replaced")));
    QCOMPARE(second.state(), QAbstractSocket::ConnectedState);
}

void SimTest::garbageIsReportedNotFatal()
{
    Sim sim({QStringLiteral("--quiet")});
    QVERIFY(sim.ready());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    QByteArray every;
    for (int b = 0; b < 256; ++b)
        every.append(char(b));
    client.write(every + every);
    client.flush();
    QTRY_VERIFY(sim.out().contains(QStringLiteral("unknown command byte 0xFF, skipped")));
    QVERIFY(sim.out().contains(QStringLiteral("00  unknown command byte 0x00, skipped")));

    // Still serving.
    client.write(hexBytes("0000000000007F"));
    client.flush();
    client.disconnectFromHost();
    QTRY_VERIFY(sim.out().contains(QStringLiteral("-- client closed the connection")));
    QCOMPARE(sim.process().state(), QProcess::Running);
}

void SimTest::printsStateOnRequest()
{
#if defined(Q_OS_UNIX)
    Sim sim({});
    QVERIFY(sim.ready());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.write(hexBytes("A801B003"));
    client.flush();
    QTRY_VERIFY(sim.out().contains(QStringLiteral("SetRosaPrescaler")));
    sim.signal(SIGUSR1);
    QTRY_VERIFY(sim.out().contains(QStringLiteral("state: ")));
    QVERIFY(sim.out().contains(QStringLiteral("DDS divider 1; ROSA index 3 (divider 64);")));
    QCOMPARE(sim.process().state(), QProcess::Running);
#else
    QSKIP("SIGUSR1 is a Unix signal");
#endif
}

void SimTest::noReadLeavesTheClientsDataInTcp()
{
    Sim sim({QStringLiteral("--no-read")});
    QVERIFY(sim.ready());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, sim.port());
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    // Far more than loopback's buffers hold: what the kernels cannot take
    // stays with the client.
    const qint64 total = 64 * 1024 * 1024;
    client.write(QByteArray(total, '\x7F'));
    QTRY_VERIFY(client.bytesToWrite() < total);
    QTRY_VERIFY(sim.out().contains(QStringLiteral("-- client connected")));
    QVERIFY(client.bytesToWrite() > 0);
    QVERIFY(!sim.out().contains(QStringLiteral("Heartbeat")));
}

void SimTest::linkRecoversFromAnInstrumentThatKeepsClosing()
{
    // The panel's link with real timers (short intervals) against an
    // instrument that closes every connection soon after it comes up: each
    // time the watchdog finds the closed side, closes and connects again, and
    // every new connection gets the whole initialisation, unbroken.
    const QString record = m_dir.filePath(QStringLiteral("recover.rec"));
    Sim sim({QStringLiteral("--record"), record, QStringLiteral("--beat"), QStringLiteral("5"),
             QStringLiteral("--close-after"), QStringLiteral("120")});
    QVERIFY(sim.ready());

    test::FakeTextBox ip("127.0.0.1", link::kLinkDownColour);
    test::FakeTextBox port(sim.portText());
    qt::QtTcpClient client;
    qt::QtTimer hbOut(10, true);
    qt::QtTimer hbIn(60, true);
    test::WiredLink wired(client, ip, port, hbOut, hbIn);
    link::Link& l = wired.link;
    client.setEvents(l.clientEvents());
    hbOut.setHandler([&] { l.tmrHBout_Timer(); });
    hbIn.setHandler([&] { l.tmrHBin_Timer(); });

    l.connect();
    QTRY_VERIFY_WITH_TIMEOUT(sim.out().count(QStringLiteral("-- client connected")) >= 3, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(readRecord(record).bytes.count(QStringLiteral("A3 00")) >= 3, 20000);
    l.close();

    const QStringList bytes = readRecord(record).bytes;
    int sequences = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != QStringLiteral("A0 01"))
            continue;
        ++sequences;
        // The last one may have been cut short by the close that ends the
        // test; all of it that arrived is in order.
        const QStringList sequence = bytes.mid(i, kInitRecord.size());
        QCOMPARE(sequence, kInitRecord.mid(0, sequence.size()));
    }
    QVERIFY(sequences >= 3);
    // Between the initialisations only heartbeats went out.
    for (const QString& b : bytes)
        QVERIFY2(kInitRecord.contains(b) || b == QStringLiteral("7F"), qPrintable(b));
    QVERIFY(bytes.count(QStringLiteral("7F")) > 0);
}

QTEST_GUILESS_MAIN(SimTest)
#include "simserver_test.moc"
