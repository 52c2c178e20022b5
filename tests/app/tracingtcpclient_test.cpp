// The protocol trace of the logging category quillon.link: silent unless a
// logging rule switches it on; when on, the connect sequence appears in it
// byte for byte with each command's name, with the client's state changes
// around it, and the watchdog says what it decided on each tick.

#include "app/main_window.h"
#include "app/tracingtcpclient.h"
#include "registry/memoryregistry.h"
#include "settings/miscfunctions.h"
#include "tests/support/loopback.h"

#include <QLineEdit>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using quillon::app::formMain;
namespace registry = quillon::registry;

namespace {

QStringList g_trace;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && qstrcmp(context.category, "quillon.link") == 0) {
        g_trace.append(text);
        return;
    }
    if (g_previous)
        g_previous(type, context, text);
}

// The lines of the trace that start with `prefix`, in order.
QStringList linesStartingWith(const QString& prefix)
{
    QStringList lines;
    for (const QString& line : std::as_const(g_trace)) {
        if (line.startsWith(prefix))
            lines.append(line);
    }
    return lines;
}

} // namespace

class TestLinkTrace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void silentUnlessSwitchedOn();
    void connectSequenceDecoded();
    void messageDescription_data();
    void messageDescription();
    void watchdogDecisions_data();
    void watchdogDecisions();

private:
    void startWindow(const QByteArray& port, int watchdogMs);

    std::unique_ptr<registry::MemoryRegistry> m_registry;
    std::unique_ptr<quillon::test::Peer> m_instrument;
    std::unique_ptr<formMain> m_window;
    QByteArray m_port;
};

void TestLinkTrace::initTestCase()
{
    g_previous = qInstallMessageHandler(capture);
}

void TestLinkTrace::cleanupTestCase()
{
    qInstallMessageHandler(g_previous);
}

void TestLinkTrace::init()
{
    m_registry = std::make_unique<registry::MemoryRegistry>();
    quillon::settings::MiscFunctions::WriteSetting(*m_registry, registry::HKeyLocalMachine,
                                                   "SOFTWARE\\Oxwell\\Quillon", "IP Address",
                                                   "127.0.0.1");
    m_instrument = std::make_unique<quillon::test::Peer>();
    g_trace.clear();
}

void TestLinkTrace::cleanup()
{
    m_window.reset();
    m_instrument.reset();
    m_registry.reset();
    QLoggingCategory::setFilterRules(QString());
}

void TestLinkTrace::startWindow(const QByteArray& port, int watchdogMs)
{
    m_port = port;
    quillon::app::Options options;
    options.port = m_port.constData();
    options.heartbeatOutMs = 600000; // no heartbeat among the lines looked at
    options.watchdogMs = watchdogMs;
    m_window = std::make_unique<formMain>(*m_registry, options);
    m_window->Form_Load();
}

void TestLinkTrace::silentUnlessSwitchedOn()
{
    QVERIFY(!lcQuillonLink().isDebugEnabled());
    // A whole connect, sends refused before it and accepted after it: not a
    // line.
    startWindow(QByteArray::number(m_instrument->port()), 600000);
    QTRY_COMPARE(m_instrument->receivedHex(),
                 QStringLiteral("A0 01 A6 03 A9 61 00 B0 01 A8 02 AF 01 A3 00"));
    m_window->txtFreq()->setText(QStringLiteral("80"));
    QTest::keyClick(m_window->txtFreq(), Qt::Key_Return);
    QTRY_VERIFY(m_instrument->receivedHex().endsWith(QStringLiteral("A7 00")));
    QCOMPARE(g_trace, QStringList());
}

void TestLinkTrace::connectSequenceDecoded()
{
    QLoggingCategory::setFilterRules(QStringLiteral("quillon.link.debug=true"));
    startWindow(QByteArray::number(m_instrument->port()), 600000);
    QTRY_VERIFY(!linesStartingWith(QStringLiteral("sent A3 00")).isEmpty());

    const QStringList expected{
        QStringLiteral("sent A0 01 ConnectA0"),
        QStringLiteral("sent A6 03 ConnectA6"),
        QStringLiteral("sent A9 61 00 SetChargePumpCurrents"),
        QStringLiteral("sent B0 01 SetRosaPrescaler"),
        QStringLiteral("sent A8 02 SetDdsPrescaler"),
        QStringLiteral("sent AF 01 ConnectAF"),
        QStringLiteral("sent A3 00 SelectSlot"),
    };
    QCOMPARE(linesStartingWith(QStringLiteral("sent ")), expected);

    // The order around it: the restore's sends fail while the client is
    // closed, then the attempt, the connection and the Connect event.
    const QString connectLine =
        QStringLiteral("connect to 127.0.0.1 port ") + QString::number(m_instrument->port());
    const QStringList order{
        QStringLiteral("not sent (state 0): B0 01 SetRosaPrescaler"),
        connectLine,
        QStringLiteral("state 6 Connecting"),
        QStringLiteral("state 7 Connected"),
        QStringLiteral("event Connect"),
        QStringLiteral("sent A0 01 ConnectA0"),
        QStringLiteral("sent A3 00 SelectSlot"),
    };
    qsizetype at = 0;
    for (const QString& line : order) {
        const qsizetype found = g_trace.indexOf(line, at);
        QVERIFY2(found >= 0, qPrintable(QStringLiteral("no \"%1\" after line %2 of:\n%3")
                                            .arg(line)
                                            .arg(at)
                                            .arg(g_trace.join(u'\n'))));
        at = found + 1;
    }
}

void TestLinkTrace::messageDescription_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("heartbeat") << QByteArray("\x7f", 1) << "7F Heartbeat";
    QTest::newRow("tuning word") << QByteArray("\xa5\x00\x55\x55\xd5\x14", 6)
                                 << "A5 00 55 55 D5 14 SetTuningWord";
    QTest::newRow("unknown byte") << QByteArray("\x42", 1) << "42 (unknown command)";
    QTest::newRow("nothing") << QByteArray() << " (unknown command)";
}

void TestLinkTrace::messageDescription()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    QCOMPARE(quillon::app::describeMessage({data, static_cast<std::size_t>(bytes.size())}), text);
}

void TestLinkTrace::watchdogDecisions_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("decisions");
    const QString close =
        QStringLiteral("watchdog: connection failed or closed by the instrument: close");
    const QString reconnect = QStringLiteral("watchdog: closed: reconnect");
    // An attempt still under way is left alone; one that failed is closed and
    // tried again; a silent instrument marks the link down and keeps the
    // connection; an instrument that closed its side is closed and tried
    // again.
    QTest::newRow("attempt under way")
        << "under way" << QStringList{QStringLiteral("watchdog: attempt under way: left alone")};
    QTest::newRow("attempt refused") << "refused" << QStringList{close, reconnect};
    QTest::newRow("instrument silent")
        << "silent"
        << QStringList{
               QStringLiteral("watchdog: connected but silent: link down, connection kept")};
    QTest::newRow("instrument closed its side") << "closed" << QStringList{close, reconnect};
}

void TestLinkTrace::watchdogDecisions()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, decisions);

    QLoggingCategory::setFilterRules(QStringLiteral("quillon.link.debug=true"));
    QTcpServer instrument;
    QVERIFY(instrument.listen(QHostAddress::LocalHost, 0));
    // Port 1 on loopback: nothing listens there, the attempt is refused.
    const bool listening =
        scenario == QStringLiteral("silent") || scenario == QStringLiteral("closed");
    startWindow(listening ? QByteArray::number(instrument.serverPort()) : QByteArray("1"), 600000);
    // The watchdog's tick is run by hand once the client is where the
    // scenario needs it, so that no tick comes in between.
    if (scenario == QStringLiteral("refused")) {
        QTRY_VERIFY(g_trace.contains(QStringLiteral("state 9 Error")));
    } else if (listening) {
        QTRY_VERIFY(g_trace.contains(QStringLiteral("event Connect")));
        QTcpSocket* peer = instrument.nextPendingConnection();
        QVERIFY(peer);
        if (scenario == QStringLiteral("closed")) {
            peer->close();
            QTRY_VERIFY(g_trace.contains(QStringLiteral("state 8 Closing")));
        }
    }
    g_trace.clear();
    m_window->link().tmrHBin_Timer();
    QCOMPARE(linesStartingWith(QStringLiteral("watchdog: ")), decisions);
}

QTEST_MAIN(TestLinkTrace)
#include "tracingtcpclient_test.moc"
